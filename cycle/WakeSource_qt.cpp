#include "WakeSource.h"

#include <QTimer>

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

    void wakeAt(qint64 atNs, qint64 nowNs) override
    {
        m_timer.start(int((atNs - nowNs) / 1'000'000));
    }

    void cancel() override { m_timer.stop(); }
    qint64 stepNs() const override { return 1'000'000; }

private:
    QTimer m_timer;
};

} // namespace

WakeSource *createQtWakeSource(QObject *parent)
{
    return new QtWakeSource(parent);
}
