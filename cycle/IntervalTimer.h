#pragma once

#include "MonotonicClock.h"

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
// A wake-up source wakes it a little early, by a lead learnt from that
// source's own recent wake-ups, and the rest is waited out against the
// monotonic clock: it never fires before its deadline, and fires on time to
// a few microseconds where the source's lateness is steady. The platform
// timer is touched only when what is asked of it changes, so a timer that
// its own handler switches off costs one call a firing.
class IntervalTimer : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxInterval = 65535;

    // On the platform's own high-resolution timer where there is one, else
    // on a precise QTimer, and on steadyNow().
    explicit IntervalTimer(QObject *parent = nullptr);
    // On `source`, which it takes over, with `clock` as the source's clock.
    IntervalTimer(WakeSource *source, MonotonicClock clock, QObject *parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int interval() const { return m_interval; }
    // Clamped to 0..maxInterval.
    void setInterval(int ms);

signals:
    void timeout();

private:
    bool isArmed() const { return m_enabled && m_interval > 0; }
    qint64 now() const { return m_clock().count(); }
    qint64 periodNs() const { return qint64(m_interval) * 1'000'000; }
    void restart();
    void request(qint64 nowNs);
    void onWake();
    void fire();
    // How long before the deadline to be woken, and the most that may be
    // spun out after a wake-up.
    struct Spin
    {
        qint64 lead;
        qint64 limit;
    };
    Spin spin() const;

    WakeSource *m_source;
    MonotonicClock m_clock;
    bool m_enabled = false;
    int m_interval = 0;
    bool m_requested = false; // a wake-up is set on the source
    qint64 m_deadlineNs = 0; // when the timer is next due to fire
    qint64 m_wakeNs = 0; // when the source is set to wake us, a little earlier
    std::array<qint32, 32> m_lateness {}; // of the source's last wake-ups, in ns
    std::size_t m_latenessNext = 0;
};
