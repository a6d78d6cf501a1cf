#pragma once

#include <QObject>

// Wakes the event loop once, at a time on the monotonic clock (steadyNow()).
// One small class for each kind of platform timer; IntervalTimer learns how
// late each one wakes and waits out the rest. Every source keeps this
// contract:
//  - wakeAt() replaces any earlier request. IntervalTimer only ever asks for
//    a time that is not before `nowNs`, its clock reading of a moment ago,
//    and that lies a whole number of steps after it; a source that takes a
//    relative time counts from `nowNs`, so it never has to round.
//  - cancel() is only called while a request is set.
//  - woke() comes once for a request, at its time or after, or up to one
//    step early where the platform's timer keeps its own clock (Qt's on
//    Windows). A source may also emit it for a request that was replaced or
//    cancelled after its wake-up was already on its way through the event
//    loop (a stale wake-up). IntervalTimer tells both from a real wake-up
//    by the time.
//  - stepNs() is the resolution of a request: 1 for a timer set to the
//    nanosecond, 100 for Windows' 100-nanosecond units, 1 ms for Qt's timer
//    interface. A timer that the platform keeps coarser than it was set and
//    wakes late, as Wine's server keeps whole milliseconds, has the step of
//    its call: its lateness is learnt as any other's.
class WakeSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void wakeAt(qint64 atNs, qint64 nowNs) = 0;
    virtual void cancel() = 0;
    virtual qint64 stepNs() const = 0;

signals:
    void woke();
};

// The platform's own high-resolution timer: a timerfd on Linux, a
// high-resolution waitable timer on Windows 10 1803 and later. Null where
// there is none, or where the system refuses it.
WakeSource *createKernelWakeSource(QObject *parent);
// A precise QTimer, in whole milliseconds, on every platform.
WakeSource *createQtWakeSource(QObject *parent);
