#include "WakeSource.h"

#include <QTimer>

#include <algorithm>
#include <chrono>

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

class QtWakeSource : public WakeSource
{
public:
    explicit QtWakeSource(QObject *parent)
        : WakeSource(parent)
    {
        // A coarse timer may be off by 5 % of its interval.
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &WakeSource::woke);
    }

    qint64 wakeAt(qint64 atNs) override
    {
        // Whole milliseconds, rounded down: the rest is waited out.
        const qint64 now = monotonicNs();
        const qint64 ms = std::max<qint64>(atNs - now, 0) / 1'000'000;
        m_timer.start(int(ms));
        return now + ms * 1'000'000;
    }

    void cancel() override { m_timer.stop(); }
    qint64 granularityNs() const override { return 1'000'000; }

private:
    QTimer m_timer;
};

} // namespace

WakeSource *createQtWakeSource(QObject *parent)
{
    return new QtWakeSource(parent);
}
