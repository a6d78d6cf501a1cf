#include "MeasurementCycle.h"

#include "InstrumentLink.h"
#include "IntervalTimer.h"
#include "Protocol.h"

MeasurementCycle::MeasurementCycle(InstrumentLink *link, MonotonicClock clock, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_clock(std::move(clock))
    , m_tmrRun(new IntervalTimer(this))
    , m_tmrGetData(new IntervalTimer(this))
{
    m_tmrRun->setObjectName(QStringLiteral("tmrRun"));
    m_tmrGetData->setObjectName(QStringLiteral("tmrGetData"));
    m_tmrRun->setInterval(firstRunDelayMs);
    m_tmrGetData->setInterval(firstRunDelayMs);
    connect(m_tmrRun, &IntervalTimer::timeout, this, &MeasurementCycle::tmrRun_Timer);
    connect(m_tmrGetData, &IntervalTimer::timeout, this, &MeasurementCycle::tmrGetData_Timer);
}

void MeasurementCycle::arm()
{
    m_tmrRun->setEnabled(true);
}

void MeasurementCycle::disarm()
{
    m_tmrRun->setEnabled(false);
    m_tmrGetData->setEnabled(false);
}

void MeasurementCycle::tmrRun_Timer()
{
    // Only the first run step comes from the timer; every later one is
    // started by the replies, and none of them re-enables it.
    m_tmrRun->setEnabled(false);
    // A failed send is not retried: like a lost datagram, it leaves the cycle
    // waiting for replies that never come.
    m_link->send(Protocol::runExperiment);
    m_tmrGetData->setEnabled(true);

    // One monotonic reading ends this cycle and starts the next, so no time
    // falls between cycles. The first run step has no cycle before it and
    // only starts the clock.
    const std::chrono::nanoseconds now = m_clock();
    if (m_cycleStart) {
        const auto elapsed
            = std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_cycleStart);
        emit cycleMeasured(quint64(std::max<std::chrono::milliseconds::rep>(elapsed.count(), 0)));
    }
    m_cycleStart = now;

    m_gotTimer = false;
    m_gotCounters = false;
}

void MeasurementCycle::tmrGetData_Timer()
{
    m_tmrGetData->setEnabled(false);
    m_link->send(Protocol::requestCounters);
    m_link->send(Protocol::requestTimer);
}
