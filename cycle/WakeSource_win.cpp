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
        , m_stepNs(underWine() ? 1'000'000 : 100)
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
    qint64 stepNs() const override { return m_stepNs; }

private:
    // Wine's server keeps every timeout in whole milliseconds and wakes on
    // the next one after the time asked for, whatever the call's resolution.
    static bool underWine()
    {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
    }

    const HANDLE m_timer;
    QWinEventNotifier m_notifier;
    const qint64 m_stepNs;
};

} // namespace

WakeSource *createKernelWakeSource(QObject *parent)
{
    // An auto-reset timer: the wait that sees it expire also resets it.
    const HANDLE timer = ::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    return timer ? new WaitableTimerWakeSource(timer, parent) : nullptr;
}
