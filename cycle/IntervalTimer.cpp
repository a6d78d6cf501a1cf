#include "IntervalTimer.h"

#include <QTimer>

#include <algorithm>

IntervalTimer::IntervalTimer(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    // Coarse timers may be off by 5 % of the interval; a tool that measures
    // time cannot afford that.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &IntervalTimer::timeout);
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
    if (isArmed())
        m_timer->start(m_interval);
    else
        m_timer->stop();
}
