#include "WakeSource.h"

#include <QWinEventNotifier>

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// A high-resolution waitable timer, watched by the event loop: it expires
// to a fraction of a millisecond, where a plain waitable timer or a Qt timer
// keeps to the system's timer tick.
class WaitableTimerWakeSource : public WakeSource
{
public:
    WaitableTimerWakeSource(HANDLE timer, QObject *parent)
        : WakeSource(parent)
        , m_timer(timer)
        , m_notifier(timer)
    {
        connect(&m_notifier, &QWinEventNotifier::activated, this, &WakeSource::woke);
    }

    ~WaitableTimerWakeSource() override
    {
        m_notifier.setEnabled(false); // before the handle it watches goes
        ::CancelWaitableTimer(m_timer);
        ::CloseHandle(m_timer);
    }

    void wakeAt(qint64 atNs, qint64 nowNs) override
    {
        // A relative due time, in 100-nanosecond steps: the timer keeps to
        // the monotonic clock, not to the time of day.
        LARGE_INTEGER due;
        due.QuadPart = -((atNs - nowNs) / 100);
        ::SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE);
    }

    void cancel() override { ::CancelWaitableTimer(m_timer); }
    // Wine's server keeps the timeout in whole milliseconds and wakes after
    // it; that shows as lateness, which the lead learns.
    qint64 stepNs() const override { return 100; }

private:
    const HANDLE m_timer;
    QWinEventNotifier m_notifier;
};

} // namespace

WakeSource *createKernelWakeSource(QObject *parent)
{
    // An auto-reset timer: the wait that sees it expire also resets it.
    const HANDLE timer = ::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    return timer ? new WaitableTimerWakeSource(timer, parent) : nullptr;
}
