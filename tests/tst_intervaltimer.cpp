#include "IntervalTimer.h"
#include "LoopbackInstrument.h"
#include "WakeSource.h"

#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr qint64 msNs = 1'000'000;

// A wake-up source the test wakes, which records what it is asked.
class FakeSource : public WakeSource
{
public:
    explicit FakeSource(qint64 step)
        : m_step(step)
    { }

    void wakeAt(qint64 atNs, qint64 nowNs) override
    {
        // What the contract promises every source.
        QVERIFY(atNs >= nowNs);
        QCOMPARE((atNs - nowNs) % m_step, 0);
        sets.append(atNs);
    }
    void cancel() override { ++cancels; }
    qint64 stepNs() const override { return m_step; }

    QList<qint64> sets;
    int cancels = 0;

private:
    const qint64 m_step;
};

// A timer on a fake source and a clock that the test moves. Each reading
// moves the clock on by 10 ns, so that a spin ends.
struct Rig
{
    explicit Rig(qint64 step = 1)
        : source(new FakeSource(step))
        , timer(source, [this] { return std::chrono::nanoseconds(nowNs += 10); })
    {
        QObject::connect(&timer, &IntervalTimer::timeout, [this] {
            fired.append(nowNs);
            if (stopsOnFiring)
                timer.setEnabled(false);
        });
    }

    // The source wakes the timer now, or at the time last asked of it.
    void poke() { emit source->woke(); }
    void wake()
    {
        nowNs = std::max(nowNs, source->sets.last());
        poke();
    }

    static constexpr qint64 startNs = 1'000 * msNs;
    qint64 nowNs = startNs;
    FakeSource *source;
    IntervalTimer timer;
    QList<qint64> fired;
    bool stopsOnFiring = false;
};

} // namespace

// The timer's logic against a fake source and clock, exactly; the real
// sources against their contract, with the platform's own clock.
class TestIntervalTimer : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
    void leadFollowsRecentWakeUps_data();
    void leadFollowsRecentWakeUps();
    void realSourceKeepsTheContract_data();
    void realSourceKeepsTheContract();
};

void TestIntervalTimer::script_data()
{
    // Steps: iN interval, on/off, @N the clock at N ms, wake (at the time
    // asked of the source), poke (a wake-up now), stop (the handler switches
    // the timer off, as the cycle's do). Firings in whole ms; each is never
    // early, so a firing before its deadline floors to the millisecond before.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QList<int>>("firings");
    QTest::addColumn<int>("sets");
    QTest::addColumn<int>("cancels");
    QTest::newRow("disabling a disabled timer") << "off off" << QList<int> {} << 0 << 0;
    QTest::newRow("new interval, disabled") << "i10 poke" << QList<int> {} << 0 << 0;
    QTest::newRow("zero interval never fires") << "i0 on poke" << QList<int> {} << 0 << 0;
    QTest::newRow("below 0 is 0") << "i-1 on poke" << QList<int> {} << 0 << 0;
    QTest::newRow("above the top is the top") << "i70000 on wake" << QList<int> {65535} << 2 << 0;
    QTest::newRow("enabled, disabled twice") << "i10 on off off poke" << QList<int> {} << 1 << 1;
    QTest::newRow("the handler switches it off")
        << "stop i10 on wake poke on wake" << QList<int> {10, 20} << 2 << 0;
    QTest::newRow("fires every interval")
        << "i10 on wake wake wake" << QList<int> {10, 20, 30} << 4 << 0;
    QTest::newRow("enabling restarts the interval")
        << "i100 on @60 off on wake" << QList<int> {160} << 3 << 1;
    QTest::newRow("a new interval counts from its setting")
        << "i100 on @60 i30 wake i60000 @100 i50 wake" << QList<int> {90, 150} << 6 << 0;
    QTest::newRow("interval 0 while enabled") << "i10 on i0 poke" << QList<int> {} << 1 << 1;
    QTest::newRow("late: missed periods fire once")
        << "i10 on @35 poke wake" << QList<int> {35, 45} << 3 << 0;
    QTest::newRow("early, near the deadline: waited out")
        << "i10 on @9.6 poke" << QList<int> {10} << 2 << 0;
    QTest::newRow("early, far from it: asked again")
        << "i100 on @5 poke wake" << QList<int> {100} << 3 << 0;
}

void TestIntervalTimer::script()
{
    QFETCH(QString, steps);
    QFETCH(QList<int>, firings);
    QFETCH(int, sets);
    QFETCH(int, cancels);
    Rig rig;
    for (const QString &step : steps.split(' ')) {
        if (step == "on" || step == "off")
            rig.timer.setEnabled(step == "on");
        else if (step.startsWith('i'))
            rig.timer.setInterval(step.mid(1).toInt());
        else if (step.startsWith('@'))
            rig.nowNs = Rig::startNs + qint64(step.mid(1).toDouble() * msNs);
        else if (step == "wake")
            rig.wake();
        else if (step == "poke")
            rig.poke();
        else if (step == "stop")
            rig.stopsOnFiring = true;
        else
            QFAIL(qPrintable("unknown step " + step));
    }
    QList<int> firedMs;
    for (const qint64 at : std::as_const(rig.fired))
        firedMs.append(int((at - Rig::startNs) / msNs));
    QCOMPARE(firedMs, firings);
    QCOMPARE(rig.source->sets.size(), sets);
    QCOMPARE(rig.source->cancels, cancels);
}

void TestIntervalTimer::leadFollowsRecentWakeUps_data()
{
    // Of 32 wake-ups, `stalls` were 5 ms late and the rest `typicalUs`; the
    // next wake-up is asked for `lead` before the deadline, between the two
    // bounds where a coarse source rounds it.
    QTest::addColumn<int>("typicalUs");
    QTest::addColumn<int>("stalls");
    QTest::addColumn<int>("stepUs");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("leadFromUs");
    QTest::addColumn<int>("leadToUs");
    QTest::newRow("on time") << 0 << 0 << 0 << 100 << 50 << 50;
    QTest::newRow("steady") << 80 << 0 << 0 << 100 << 130 << 130;
    QTest::newRow("one stall, ignored") << 80 << 1 << 0 << 100 << 130 << 130;
    QTest::newRow("stalls, bounded") << 80 << 2 << 0 << 100 << 500 << 500;
    QTest::newRow("late as a rule") << 1100 << 0 << 0 << 100 << 1150 << 1150;
    QTest::newRow("late as a rule, stalls") << 1100 << 2 << 0 << 100 << 2000 << 2000;
    QTest::newRow("half a short interval") << 1100 << 0 << 0 << 2 << 1000 << 1000;
    // A millisecond source adds one step of spin at the most, once.
    QTest::newRow("ms source, steady") << 80 << 0 << 1000 << 100 << 130 << 1130;
    QTest::newRow("ms source, stalls") << 80 << 2 << 1000 << 100 << 500 << 1500;
    QTest::newRow("ms source, 1 ms interval") << 80 << 0 << 1000 << 1 << 0 << 500;
}

void TestIntervalTimer::leadFollowsRecentWakeUps()
{
    QFETCH(int, typicalUs);
    QFETCH(int, stalls);
    QFETCH(int, stepUs);
    QFETCH(int, intervalMs);
    QFETCH(int, leadFromUs);
    QFETCH(int, leadToUs);
    Rig rig(std::max(stepUs * 1000, 1));
    rig.timer.setInterval(intervalMs);
    rig.timer.setEnabled(true);
    qint64 deadline = rig.nowNs + intervalMs * msNs;
    for (int i = 0; i < 32; ++i) {
        const qint64 lateNs = (i < stalls ? 5000 : typicalUs) * 1000;
        rig.nowNs = rig.source->sets.last() + lateNs - 10; // the next reading is the wake-up
        rig.poke();
        QCOMPARE(rig.fired.size(), i + 1);
        QVERIFY(rig.fired.last() >= deadline);
        // Periods missed fire once.
        deadline += intervalMs * msNs;
        if (deadline <= rig.fired.last())
            deadline = rig.fired.last() + intervalMs * msNs;
    }
    const qint64 leadUs = (deadline - rig.source->sets.last() + 500) / 1000;
    QVERIFY2(leadUs >= leadFromUs && leadUs <= leadToUs,
             qPrintable(QStringLiteral("lead %1 us").arg(leadUs)));
}

void TestIntervalTimer::realSourceKeepsTheContract_data()
{
    QTest::addColumn<bool>("kernel");
    QTest::newRow("kernel") << true;
    QTest::newRow("Qt") << false;
}

void TestIntervalTimer::realSourceKeepsTheContract()
{
    QFETCH(bool, kernel);
    QObject owner;
    WakeSource *const source = kernel ? createKernelWakeSource(&owner) : createQtWakeSource(&owner);
#if defined(Q_OS_LINUX) || defined(Q_OS_WIN)
    // Every Windows that Qt 6 runs on (10 1809 and later) has the
    // high-resolution waitable timer, and so has Wine.
    QVERIFY(source);
#else
    if (!source)
        QSKIP("no kernel timer here");
#endif
    const qint64 step = source->stepNs();
    QVERIFY(step > 0 && step <= msNs);
    const auto onGrid = [step](qint64 from, qint64 after) { return from + after / step * step; };
    QSignalSpy woke(source, &WakeSource::woke);

    // Cancelled, it stays silent; set again, the new time replaces the old.
    qint64 now = steadyNow().count();
    source->wakeAt(onGrid(now, 10 * msNs), now);
    source->cancel();
    now = steadyNow().count();
    source->wakeAt(onGrid(now, 20 * msNs), now);
    const qint64 at = onGrid(now, 60 * msNs);
    source->wakeAt(at, now);
    QVERIFY(woke.wait(5000));
    const qint64 wokeAt = steadyNow().count();
    // Never early, or by one step at the most (the contract).
    QVERIFY2(wokeAt >= at - step,
             qPrintable(QStringLiteral("woke %1 us early").arg((at - wokeAt) / 1000)));
    QVERIFY(!woke.wait(100));
    QCOMPARE(woke.size(), 1);
}

QTEST_GUILESS_MAIN(TestIntervalTimer)
#include "tst_intervaltimer.moc"
