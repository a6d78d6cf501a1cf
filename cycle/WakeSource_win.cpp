#include "WakeSource.h"

#include <QWinEventNotifier>

#include <algorithm>

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

    qint64 wakeAt(qint64 atNs) override
    {
        // A relative due time, in 100-nanosecond steps rounded down: the
        // timer keeps to the monotonic clock, not to the time of day.
        const qint64 now = monotonicNs();
        const qint64 steps = std::max<qint64>(atNs - now, 0) / 100;
        LARGE_INTEGER due;
        due.QuadPart = -steps;
        ::SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE);
        return now + steps * 100;
    }

    void cancel() override { ::CancelWaitableTimer(m_timer); }

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
