#pragma once

#include <QObject>

class QTimer;

// A repeating millisecond timer with the semantics the measurement cycle is
// written against, which QTimer alone does not give:
//  - an enabled flag of its own, independent of the interval;
//  - an interval of 0 means "never fires" (QTimer would fire on every pass
//    of the event loop);
//  - enabling starts the interval afresh;
//  - a new interval on an enabled timer takes effect at once, counted from
//    the moment it is set.
class IntervalTimer : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxInterval = 65535;

    explicit IntervalTimer(QObject *parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int interval() const { return m_interval; }
    // Clamped to 0..maxInterval.
    void setInterval(int ms);
    // Enabled with a non-zero interval, so it will fire.
    bool isArmed() const { return m_enabled && m_interval > 0; }

signals:
    void timeout();

private:
    void restart();

    QTimer *m_timer;
    bool m_enabled = false;
    int m_interval = 0;
};
