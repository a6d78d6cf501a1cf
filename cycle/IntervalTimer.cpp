#include "IntervalTimer.h"

#include "WakeSource.h"

#include <algorithm>
#include <functional>

namespace {

// A processor woken from deep idle takes a tenth of a millisecond or more
// to run us (half a millisecond is common in virtual machines), a timer in
// whole milliseconds wakes up to a millisecond before the moment asked for,
// since it is rounded down, and a timer kept in whole milliseconds by a
// server (Wine's) wakes up to a millisecond or more late. So the platform
// timer is set early by a lead learnt from its own recent wake-ups, and the
// rest is spun out on the processor. Past the timer's own step, the spin is
// bounded by half a millisecond, or by twice the typical lateness where
// that is more, and never by more than two milliseconds: at the design wait
// of 100 ms that is 0.5 % of a core where the timer keeps time, and 2 % at
// the most where it is late as a rule. A wake-up later than the bound is a
// stall that the following firings should not all pay for.
constexpr qint64 minLeadNs = 50'000;
constexpr qint64 maxWakeDelayNs = 500'000;
constexpr qint64 wakeDelayCeilingNs = 2'000'000;
constexpr qint64 leadMarginNs = 50'000;

} // namespace

IntervalTimer::IntervalTimer(Engine engine, QObject *parent)
    : QObject(parent)
{
    m_lateness.fill(250'000); // a cautious start until wake-ups have been seen
    if (engine == Engine::Kernel)
        m_source = createKernelWakeSource(this);
    if (m_source)
        m_engine = Engine::Kernel;
    else
        m_source = createQtWakeSource(this);
    connect(m_source, &WakeSource::woke, this, &IntervalTimer::onWake);
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
    if (isArmed())
        m_wakeNs = m_source->wakeAt(m_deadlineNs
                                    - wakeLead(m_lateness, m_source->granularityNs(), m_interval));
    else
        m_source->cancel();
}

qint64 IntervalTimer::wakeLead(Lateness recent, qint64 granularityNs, int intervalMs)
{
    // The typical wake-up sets how far the lead may go; the second latest of
    // the last 32 sets the lead, so one stray stall does not make every
    // following firing spin. Never more than half the interval is spun.
    constexpr std::size_t middle = std::tuple_size_v<Lateness> / 2;
    std::nth_element(recent.begin(), recent.begin() + middle, recent.end());
    const qint64 bound = std::clamp(2 * qint64(recent[middle]), maxWakeDelayNs, wakeDelayCeilingNs)
        + granularityNs;
    std::nth_element(recent.begin(), recent.begin() + 1, recent.end(), std::greater<>());
    const qint64 lead = std::clamp(recent[1] + leadMarginNs, minLeadNs, bound);
    return std::min(lead, qint64(intervalMs) * 500'000);
}

void IntervalTimer::onWake()
{
    if (!isArmed())
        return;
    const qint64 woke = monotonicNs();
    // Before the moment asked for: a platform timer that fires early, or a
    // wake-up queued before the timer was set again. Ask once more.
    if (woke < m_wakeNs) {
        arm();
        return;
    }
    m_lateness[m_latenessNext]
        = qint32(std::min(woke - m_wakeNs, wakeDelayCeilingNs + m_source->granularityNs()));
    m_latenessNext = (m_latenessNext + 1) % m_lateness.size();
    fire();
}

void IntervalTimer::fire()
{
    // Never before the deadline: what is left of the lead is waited out on
    // the processor.
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
