#include "IntervalTimer.h"

#include "WakeSource.h"

#include <algorithm>
#include <functional>

namespace {

// A processor woken from deep idle takes a tenth of a millisecond or more
// to run us (half a millisecond is common in virtual machines), and a timer
// kept in whole milliseconds wakes anywhere in the millisecond after the
// time it could be set to. So the source is set early by a lead learnt from
// its own recent wake-ups, and the rest is spun out on the processor. The
// spin is bounded by half a millisecond, or by twice the typical lateness
// where that is more, and never by more than two milliseconds; one step of
// a coarse source comes on top of that, and it is never more than half the
// interval. At the design wait of 100 ms that is 0.5 % of a core where the
// timer keeps time, and 2 % at the most where it is late as a rule. A
// wake-up later than the bound is a stall that the following firings
// should not all pay for.
constexpr qint64 minLeadNs = 50'000;
constexpr qint64 minSpinNs = 500'000;
constexpr qint64 maxSpinNs = 2'000'000;
constexpr qint64 leadMarginNs = 50'000;

WakeSource *platformWakeSource(QObject *parent)
{
    WakeSource *const kernel = createKernelWakeSource(parent);
    return kernel ? kernel : createQtWakeSource(parent);
}

} // namespace

IntervalTimer::IntervalTimer(QObject *parent)
    : IntervalTimer(platformWakeSource(nullptr), steadyNow, parent)
{ }

IntervalTimer::IntervalTimer(WakeSource *source, MonotonicClock clock, QObject *parent)
    : QObject(parent)
    , m_source(source)
    , m_clock(std::move(clock))
{
    m_source->setParent(this);
    m_lateness.fill(250'000); // a cautious start until wake-ups have been seen
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
    if (isArmed()) {
        const qint64 nowNs = now();
        m_deadlineNs = nowNs + periodNs();
        request(nowNs);
    } else if (m_requested) {
        m_requested = false;
        m_source->cancel();
    }
}

IntervalTimer::Spin IntervalTimer::spin() const
{
    // The typical wake-up sets how far the lead may go; the second latest
    // sets the lead, so one stray stall does not make every following
    // firing spin.
    auto recent = m_lateness;
    constexpr std::size_t middle = recent.size() / 2;
    std::nth_element(recent.begin(), recent.begin() + middle, recent.end());
    const qint64 bound = std::clamp(2 * qint64(recent[middle]), minSpinNs, maxSpinNs);
    std::nth_element(recent.begin(), recent.begin() + 1, recent.end(), std::greater<>());
    const qint64 halfInterval = periodNs() / 2;
    return {std::min(std::clamp(recent[1] + leadMarginNs, minLeadNs, bound), halfInterval),
            std::min(bound + m_source->stepNs(), halfInterval)};
}

void IntervalTimer::request(qint64 nowNs)
{
    // The source wakes on its own grid of steps from now: the step before
    // the time the lead gives, or the one after where that would spin for
    // longer than the limit.
    const Spin bounds = spin();
    const qint64 step = m_source->stepNs();
    const qint64 wanted = std::max(m_deadlineNs - bounds.lead, nowNs);
    qint64 wake = nowNs + (wanted - nowNs) / step * step;
    if (m_deadlineNs - wake > bounds.limit)
        wake += step;
    m_wakeNs = wake;
    m_requested = true;
    m_source->wakeAt(wake, nowNs);
}

void IntervalTimer::onWake()
{
    // Stale: the request it was for has been cancelled, or has fired.
    if (!m_requested)
        return;
    const qint64 woke = now();
    if (woke < m_wakeNs) {
        // Early, or stale from a request since replaced: waited out on the
        // processor where the deadline is near, else asked for again.
        if (m_deadlineNs - woke > spin().limit) {
            request(woke);
            return;
        }
    } else {
        m_lateness[m_latenessNext] = qint32(std::min(woke - m_wakeNs, maxSpinNs));
        m_latenessNext = (m_latenessNext + 1) % m_lateness.size();
    }
    m_requested = false;
    fire();
}

void IntervalTimer::fire()
{
    // Never before the deadline: what is left of the lead is waited out on
    // the processor.
    qint64 nowNs = now();
    while (nowNs < m_deadlineNs)
        nowNs = now();
    // Periods missed while the loop was busy fire once.
    m_deadlineNs += periodNs();
    if (m_deadlineNs <= nowNs)
        m_deadlineNs = nowNs + periodNs();
    emit timeout();
    // The next period is asked for only if the handler left the timer
    // running and did not set it itself: most handlers switch it off.
    if (isArmed() && !m_requested)
        request(now());
}
