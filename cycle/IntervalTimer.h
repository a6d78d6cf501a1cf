#pragma once

#include <QObject>

#include <array>

class WakeSource;

// A repeating millisecond timer with the semantics the measurement cycle is
// written against, which QTimer alone does not give:
//  - an enabled flag of its own, independent of the interval;
//  - an interval of 0 means "never fires" (QTimer would fire on every pass
//    of the event loop);
//  - enabling starts the interval afresh;
//  - a new interval on an enabled timer takes effect at once, counted from
//    the moment it is set.
//
// A platform timer wakes it a little early, by a lead learnt from that
// timer's own recent wake-ups, and the rest is waited out against the
// monotonic clock: it never fires before its deadline, and fires on time to
// a few microseconds where the platform timer's lateness is steady. The
// kernel engine wakes on the platform's own high-resolution timer (a
// timerfd on Linux, a waitable timer on Windows); the Qt engine, and the
// kernel engine where there is no such timer, on a precise QTimer.
class IntervalTimer : public QObject
{
    Q_OBJECT

public:
    enum class Engine { Kernel, Qt };
    static constexpr int maxInterval = 65535;

    explicit IntervalTimer(QObject *parent = nullptr)
        : IntervalTimer(Engine::Kernel, parent)
    { }
    // Engine::Kernel falls back to Engine::Qt where there is no kernel timer.
    explicit IntervalTimer(Engine engine, QObject *parent = nullptr);

    Engine engine() const { return m_engine; }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int interval() const { return m_interval; }
    // Clamped to 0..maxInterval.
    void setInterval(int ms);
    // Enabled with a non-zero interval, so it will fire.
    bool isArmed() const { return m_enabled && m_interval > 0; }

    // How late the platform timer's last wake-ups came, in nanoseconds.
    using Lateness = std::array<qint32, 32>;
    // How long before a deadline to have the platform timer wake us, from
    // how late its recent wake-ups came and how far it rounds down.
    static qint64 wakeLead(Lateness recent, qint64 granularityNs, int intervalMs);

signals:
    void timeout();

private:
    void restart();
    void arm();
    void onWake();
    void fire();

    bool m_enabled = false;
    int m_interval = 0;
    Engine m_engine = Engine::Qt;
    WakeSource *m_source = nullptr;
    qint64 m_deadlineNs = 0; // when the timer is next due to fire
    qint64 m_wakeNs = 0; // when the platform timer is set to wake us, a little earlier
    Lateness m_lateness {}; // the lead is set from them
    std::size_t m_latenessNext = 0;
};
