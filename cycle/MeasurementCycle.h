#pragma once

#include "MonotonicClock.h"

#include <QObject>

#include <optional>

class InstrumentLink;
class IntervalTimer;

// The endless measurement loop: the run step sends "XR" and starts the wait,
// the request step asks for the counters and the timer when the wait is over,
// and the next run step follows as soon as both replies are in.
class MeasurementCycle : public QObject
{
    Q_OBJECT

public:
    static constexpr int firstRunDelayMs = 100;

    // `clock` times the cycles. The timers, named tmrRun and tmrGetData,
    // are its children.
    explicit MeasurementCycle(InstrumentLink *link, MonotonicClock clock = steadyNow,
                              QObject *parent = nullptr);

    // The wait, set by the window.
    IntervalTimer *tmrGetData() const { return m_tmrGetData; }

    // Arms the first run step, firstRunDelayMs from now.
    void arm();
    // Disarms both timers so that no step runs any more.
    void disarm();

    // The run step: "XR", start the wait, measure the cycle just ended.
    void tmrRun_Timer();
    // The request step: "C1" then "T", as two datagrams.
    void tmrGetData_Timer();

    // Called for each reply consumed since the last run step.
    void timerReplyConsumed() { m_gotTimer = true; }
    void countersReplyConsumed() { m_gotCounters = true; }
    bool gotTimer() const { return m_gotTimer; }
    bool gotCounters() const { return m_gotCounters; }

signals:
    // A cycle has ended: its length, floored to whole milliseconds.
    void cycleMeasured(quint64 ms);

private:
    InstrumentLink *m_link;
    MonotonicClock m_clock;
    IntervalTimer *m_tmrRun;
    IntervalTimer *m_tmrGetData;
    // Clock reading at the last run step; none before the first one.
    std::optional<std::chrono::nanoseconds> m_cycleStart;
    bool m_gotTimer = false;
    bool m_gotCounters = false;
};
