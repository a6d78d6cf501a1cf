#pragma once

#include <QObject>

#include <array>

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
// On Linux it runs on a timerfd watched by the event loop, since Qt rounds
// its own timers to whole milliseconds through the poll timeout. Elsewhere,
// or when asked, it uses a precise QTimer. Either way it never fires before
// its deadline on the monotonic clock.
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
    ~IntervalTimer() override;

    Engine engine() const { return m_fd >= 0 ? Engine::Kernel : Engine::Qt; }
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
    void arm();
    void armKernelTimer();
    void onKernelTimer();
    void onQtTimer();
    void fire();
    qint64 wakeLeadNs() const;

    bool m_enabled = false;
    int m_interval = 0;
    int m_fd = -1;
    qint64 m_deadlineNs = 0; // when the timer is next due to fire
    qint64 m_wakeNs = 0; // when the kernel timer is set to wake us, a little earlier
    // How late the last wake-ups came, in nanoseconds; the lead is set from them.
    std::array<qint32, 32> m_lateness {};
    std::size_t m_latenessNext = 0;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer = nullptr;
};
