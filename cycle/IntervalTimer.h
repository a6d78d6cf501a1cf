#pragma once

#include <QObject>

class QSocketNotifier;
class QTimer;

// A repeating millisecond timer with the semantics the measurement cycle is
// written against, which QTimer alone does not give:
//  - an enabled flag of its own, independent of the interval;
//  - an interval of 0 means "never fires" (QTimer would fire on every pass
//    of the event loop);
//  - enabling starts the interval afresh;
//  - a new interval on an enabled timer takes effect at once, counted from
//    the moment it is set.
//
// On Linux it runs on a timerfd watched by the event loop: Qt rounds its own
// timers to whole milliseconds through the poll timeout, which would add up
// to a millisecond to every wait. Elsewhere it uses a precise QTimer.
class IntervalTimer : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxInterval = 65535;

    explicit IntervalTimer(QObject *parent = nullptr);
    ~IntervalTimer() override;

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    int interval() const { return m_interval; }
    // Clamped to 0..maxInterval.
    void setInterval(int ms);
    // Enabled with a non-zero interval, so it will fire.
    bool isArmed() const { return m_enabled && m_interval > 0; }
    // Whether the kernel timer is in use rather than QTimer.
    bool usesKernelTimer() const { return m_fd >= 0; }

signals:
    void timeout();

private:
    void restart();
    void onKernelTimer();

    bool m_enabled = false;
    int m_interval = 0;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer = nullptr;
};
