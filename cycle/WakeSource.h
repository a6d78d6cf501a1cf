#pragma once

#include <QObject>

// The monotonic clock, in nanoseconds: std::chrono::steady_clock.
qint64 monotonicNs();

// Wakes the event loop once, at a time on the monotonic clock. One small
// class for each kind of platform timer; IntervalTimer learns how late each
// one wakes and waits out the rest.
class WakeSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Replaces any earlier request. Returns the time aimed at, which is
    // never after `atNs`: a coarse timer rounds down to its resolution.
    virtual qint64 wakeAt(qint64 atNs) = 0;
    virtual void cancel() = 0;
    // How far it rounds a request down: one step of the timer it sets.
    virtual qint64 granularityNs() const { return 0; }

signals:
    void woke();
};

// The platform's own high-resolution timer: a timerfd on Linux, a
// high-resolution waitable timer on Windows 10 1803 and later. Null where
// there is none, or where the system refuses it.
WakeSource *createKernelWakeSource(QObject *parent);
// A precise QTimer, in whole milliseconds, on every platform.
WakeSource *createQtWakeSource(QObject *parent);
