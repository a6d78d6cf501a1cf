#include "IntervalTimer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>

#ifdef Q_OS_LINUX
#include <cstdint>
#include <ctime> // timerfd uses CLOCK_MONOTONIC, as steady_clock does here
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace {

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#ifdef Q_OS_LINUX
// A processor woken from deep idle takes a tenth of a millisecond or more
// to run us (half a millisecond is common in virtual machines). So the kernel
// timer wakes us early by a lead learnt from recent wake-ups, and the rest is
// waited out on the processor: the timer fires on time to a few microseconds
// for a spin of at most half a millisecond per firing.
constexpr qint64 minLeadNs = 50'000;
constexpr qint64 maxLeadNs = 500'000;
constexpr qint64 leadMarginNs = 50'000;

int openKernelTimer()
{
    // A timerfd expires on its deadline: the thread's timer slack widens
    // poll and sleep timeouts only, so it is left as it is.
    return ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
}
#endif

} // namespace

IntervalTimer::IntervalTimer(Engine engine, QObject *parent)
    : QObject(parent)
{
    m_lateness.fill(250'000); // a cautious start until wake-ups have been seen
#ifdef Q_OS_LINUX
    if (engine == Engine::Kernel)
        m_fd = openKernelTimer();
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &IntervalTimer::onKernelTimer);
        return;
    }
#else
    Q_UNUSED(engine);
#endif
    m_timer = new QTimer(this);
    // Coarse timers may be off by 5 % of the interval. Each firing is set
    // up afresh from the deadline, so it is a single shot.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &IntervalTimer::onQtTimer);
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
    m_deadlineNs = monotonicNs() + qint64(m_interval) * 1'000'000;
    arm();
}

void IntervalTimer::arm()
{
    if (m_timer) {
        // Whole milliseconds, rounded up: a Qt timer may still fire a little
        // early (Windows' timers do), and fire() waits that out.
        if (isArmed())
            m_timer->start(int(std::ceil(std::max<qint64>(m_deadlineNs - monotonicNs(), 0) / 1e6)));
        else
            m_timer->stop();
    } else {
        armKernelTimer();
    }
}

qint64 IntervalTimer::wakeLeadNs() const
{
#ifdef Q_OS_LINUX
    // The second latest of the last 32 wake-ups sets the lead: one stray
    // stall does not make every following firing spin, and never more than
    // half the interval is spun.
    std::array<qint32, 32> recent = m_lateness;
    std::nth_element(recent.begin(), recent.begin() + 1, recent.end(), std::greater<>());
    const qint64 lead = std::clamp(recent[1] + leadMarginNs, minLeadNs, maxLeadNs);
    return std::min(lead, qint64(m_interval) * 500'000);
#else
    return 0;
#endif
}

void IntervalTimer::armKernelTimer()
{
#ifdef Q_OS_LINUX
    // Setting the timer also clears expirations not yet read, so a disabled
    // or re-armed timer never fires on an old deadline. All zero disarms.
    itimerspec setting {};
    if (isArmed()) {
        m_wakeNs = std::max<qint64>(m_deadlineNs - wakeLeadNs(), 1);
        setting.it_value.tv_sec = time_t(m_wakeNs / 1'000'000'000);
        setting.it_value.tv_nsec = long(m_wakeNs % 1'000'000'000);
    }
    ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &setting, nullptr);
#endif
}

void IntervalTimer::onKernelTimer()
{
#ifdef Q_OS_LINUX
    std::uint64_t expirations = 0;
    // Nothing to read: the timer was set again after the wake-up was queued.
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations || !isArmed())
        return;
    const qint64 woke = monotonicNs();
    m_lateness[m_latenessNext] = qint32(std::min(woke - m_wakeNs, maxLeadNs));
    m_latenessNext = (m_latenessNext + 1) % m_lateness.size();
    fire();
#endif
}

void IntervalTimer::onQtTimer()
{
    if (isArmed())
        fire();
}

void IntervalTimer::fire()
{
    // Never before the deadline: what is left of the wake-up lead, or of an
    // early platform timer, is waited out on the processor.
    while (monotonicNs() < m_deadlineNs) { }
    // The next period is set before the handler runs, so a handler that
    // disables the timer or gives it a new interval has the last word.
    // Periods missed while the loop was busy fire once.
    const qint64 now = monotonicNs();
    const qint64 period = qint64(m_interval) * 1'000'000;
    m_deadlineNs += period;
    if (m_deadlineNs <= now)
        m_deadlineNs = now + period;
    arm();
    emit timeout();
}
