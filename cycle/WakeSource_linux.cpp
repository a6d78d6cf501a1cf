#include "WakeSource.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cstdint>
#include <ctime> // timerfd keeps CLOCK_MONOTONIC, as steady_clock does here
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// A timerfd, watched by the event loop: it expires on its deadline to the
// nanosecond, where Qt's own timers are whole milliseconds of poll timeout.
// The thread's timer slack widens poll and sleep timeouts only, so it is
// left as it is.
class TimerFdWakeSource : public WakeSource
{
public:
    TimerFdWakeSource(int fd, QObject *parent)
        : WakeSource(parent)
        , m_fd(fd)
        , m_notifier(m_fd, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
            std::uint64_t expirations = 0;
            // Nothing to read: the timer was set again or cancelled after the
            // wake-up was queued, and the stale wake-up goes no further.
            if (::read(m_fd, &expirations, sizeof expirations) == sizeof expirations)
                emit woke();
        });
    }

    ~TimerFdWakeSource() override
    {
        m_notifier.setEnabled(false); // before the descriptor it watches goes
        ::close(m_fd);
    }

    void wakeAt(qint64 atNs, qint64) override
    {
        set(std::max<qint64>(atNs, 1)); // all zero would disarm it
    }

    void cancel() override { set(0); }
    qint64 stepNs() const override { return 1; }

private:
    // Setting the timer also clears expirations not yet read, so a cancelled
    // or re-armed timer never wakes for an old request.
    void set(qint64 atNs)
    {
        itimerspec setting {};
        setting.it_value.tv_sec = time_t(atNs / 1'000'000'000);
        setting.it_value.tv_nsec = long(atNs % 1'000'000'000);
        ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &setting, nullptr);
    }

    const int m_fd;
    QSocketNotifier m_notifier;
};

} // namespace

WakeSource *createKernelWakeSource(QObject *parent)
{
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return fd >= 0 ? new TimerFdWakeSource(fd, parent) : nullptr;
}
