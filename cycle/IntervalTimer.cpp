#include "IntervalTimer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdint>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_LINUX
int openKernelTimer()
{
    // The default slack of 50 us lets the kernel defer a wake-up to batch it
    // with others; a timing tool wants its wake-ups on time.
    static const bool slackLowered = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    Q_UNUSED(slackLowered);
    return ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}
#endif

} // namespace

IntervalTimer::IntervalTimer(QObject *parent) : QObject(parent)
{
#ifdef Q_OS_LINUX
    m_fd = openKernelTimer();
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &IntervalTimer::onKernelTimer);
        return;
    }
#endif
    m_timer = new QTimer(this);
    // Coarse timers may be off by 5 % of the interval.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &IntervalTimer::timeout);
}

IntervalTimer::~IntervalTimer()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        delete m_notifier; // before the descriptor it watches goes
        ::close(m_fd);
    }
#endif
}

void IntervalTimer::setEnabled(bool enabled)
{
    m_enabled = enabled;
    restart();
}

void IntervalTimer::setInterval(int ms)
{
    m_interval = std::clamp(ms, 0, maxInterval);
    restart();
}

void IntervalTimer::restart()
{
#ifdef Q_OS_LINUX
    if (m_fd >= 0) {
        // Setting the timer also clears expirations not yet read, so a
        // disabled or re-armed timer never fires on an old deadline.
        itimerspec spec{};
        if (isArmed()) {
            spec.it_value.tv_sec = m_interval / 1000;
            spec.it_value.tv_nsec = long(m_interval % 1000) * 1000000L;
            spec.it_interval = spec.it_value;
        }
        ::timerfd_settime(m_fd, 0, &spec, nullptr);
        return;
    }
#endif
    if (isArmed())
        m_timer->start(m_interval);
    else
        m_timer->stop();
}

void IntervalTimer::onKernelTimer()
{
#ifdef Q_OS_LINUX
    std::uint64_t expirations = 0;
    // Nothing to read: the timer was set again after the wake-up was queued.
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations)
        return;
    // Intervals missed while the loop was busy fire once, as a platform
    // timer's would.
    emit timeout();
#endif
}
