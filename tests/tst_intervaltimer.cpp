#include "IntervalTimer.h"
#include "LoopbackInstrument.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>

Q_DECLARE_METATYPE(IntervalTimer::Engine)

// Timers never fire early, so lower bounds on when they fire are safe on a
// loaded machine; upper bounds are generous, but for a median. Every test
// runs on both engines.
class TestIntervalTimer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void kernelEngineWhereAvailable();
    void neverFires_data();
    void neverFires();
    void firesRepeatedlyWhileEnabled();
    void firesOnTime();
    void enablingRestartsTheInterval();
    void newIntervalTakesEffectAtOnce();
    void newIntervalOnDisabledTimerDoesNotEnable();
    void intervalIsClamped_data();
    void intervalIsClamped();
    void leadFollowsRecentWakeUps_data();
    void leadFollowsRecentWakeUps();
};

void TestIntervalTimer::initTestCase_data()
{
    QTest::addColumn<IntervalTimer::Engine>("engine");
    QTest::newRow("kernel") << IntervalTimer::Engine::Kernel;
    QTest::newRow("Qt") << IntervalTimer::Engine::Qt;
}

static IntervalTimer::Engine engine()
{
    QFETCH_GLOBAL(IntervalTimer::Engine, engine);
    return engine;
}

void TestIntervalTimer::kernelEngineWhereAvailable()
{
    const IntervalTimer timer(engine());
#if defined(Q_OS_LINUX) || defined(Q_OS_WIN)
    // Every Windows that Qt 6 runs on (10 1809 and later) has the
    // high-resolution waitable timer, and so has Wine.
    QCOMPARE(timer.engine(), engine());
#else
    QCOMPARE(timer.engine(), IntervalTimer::Engine::Qt);
#endif
}

void TestIntervalTimer::neverFires_data()
{
    QTest::addColumn<int>("interval");
    QTest::addColumn<bool>("staysEnabled");
    QTest::newRow("zero interval, enabled") << 0 << true;
    QTest::newRow("enabled, then disabled") << 10 << false;
}

void TestIntervalTimer::neverFires()
{
    QFETCH(int, interval);
    QFETCH(bool, staysEnabled);
    IntervalTimer timer(engine());
    QSignalSpy fired(&timer, &IntervalTimer::timeout);
    timer.setInterval(interval);
    timer.setEnabled(true);
    timer.setEnabled(staysEnabled);
    QCOMPARE(timer.isEnabled(), staysEnabled);
    QVERIFY(!timer.isArmed());
    QTest::qWait(150);
    QCOMPARE(fired.size(), 0);
}

void TestIntervalTimer::firesRepeatedlyWhileEnabled()
{
    IntervalTimer timer(engine());
    QSignalSpy fired(&timer, &IntervalTimer::timeout);
    timer.setInterval(20);
    timer.setEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(fired.size() >= 3, 5000);
}

void TestIntervalTimer::firesOnTime()
{
    // Never early, to the microsecond: each wait is timed from before it was
    // enabled. Not much late: the median of several waits, against a tenth
    // of the interval, which a loaded machine still meets. The wait runs in
    // an event loop, as in the program; qWait() would sleep through it.
    constexpr qint64 intervalUs = 20'000;
    IntervalTimer timer(engine());
    timer.setInterval(int(intervalUs / 1000));
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer guard;
    connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    qint64 firedUs = -1;
    connect(&timer, &IntervalTimer::timeout, &loop, [&] {
        firedUs = clock.nsecsElapsed() / 1000;
        timer.setEnabled(false);
        loop.quit();
    });
    QList<qint64> lateness;
    for (int i = 0; i < 9; ++i) {
        firedUs = -1;
        guard.start(5000);
        const qint64 startUs = clock.nsecsElapsed() / 1000;
        timer.setEnabled(true);
        loop.exec();
        QVERIFY2(firedUs >= 0, "did not fire");
        lateness.append(firedUs - startUs - intervalUs);
        QVERIFY2(lateness.last() >= 0,
                 qPrintable(QStringLiteral("fired %1 us early").arg(-lateness.last())));
    }
    std::sort(lateness.begin(), lateness.end());
    // Under Wine every wake-up goes through its server, which on a loaded
    // machine adds milliseconds: there a quarter of the interval, still far
    // from a wait of twice the interval.
    const qint64 boundUs = intervalUs / (runningUnderWine() ? 4 : 10);
    QVERIFY2(lateness[4] < boundUs,
             qPrintable(QStringLiteral("median lateness %1 us").arg(lateness[4])));
}

void TestIntervalTimer::enablingRestartsTheInterval()
{
    IntervalTimer timer(engine());
    QSignalSpy fired(&timer, &IntervalTimer::timeout);
    QElapsedTimer clock;
    timer.setInterval(300);
    timer.setEnabled(true);
    clock.start();
    QTest::qWait(200);
    if (fired.size() > 0)
        QSKIP("the machine stalled for longer than the interval");
    timer.setEnabled(false);
    timer.setEnabled(true);
    const qint64 reenabledAt = clock.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(fired.size(), 1, 5000);
    QVERIFY2(clock.elapsed() >= reenabledAt + 300, "fired on the old deadline");
}

void TestIntervalTimer::newIntervalTakesEffectAtOnce()
{
    IntervalTimer timer(engine());
    QSignalSpy fired(&timer, &IntervalTimer::timeout);
    QElapsedTimer clock;
    timer.setInterval(60000);
    timer.setEnabled(true);
    clock.start();
    // Shortened: fires long before the old minute is up.
    // A loaded machine may see it fire more than once before looking.
    timer.setInterval(50);
    QTRY_VERIFY_WITH_TIMEOUT(fired.size() >= 1, 10000);

    // Lengthened: counted afresh from the moment it is set.
    timer.setInterval(400);
    const qint64 setAt = clock.elapsed();
    const qsizetype before = fired.size();
    QTRY_VERIFY_WITH_TIMEOUT(fired.size() > before, 10000);
    QVERIFY(clock.elapsed() >= setAt + 400);
}

void TestIntervalTimer::newIntervalOnDisabledTimerDoesNotEnable()
{
    IntervalTimer timer(engine());
    QSignalSpy fired(&timer, &IntervalTimer::timeout);
    timer.setInterval(10);
    QVERIFY(!timer.isEnabled());
    QTest::qWait(100);
    QCOMPARE(fired.size(), 0);
}

void TestIntervalTimer::intervalIsClamped_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("expected");
    QTest::newRow("negative") << -1 << 0;
    QTest::newRow("top") << 65535 << 65535;
    QTest::newRow("above top") << 70000 << 65535;
}

void TestIntervalTimer::intervalIsClamped()
{
    QFETCH(int, requested);
    QFETCH(int, expected);
    IntervalTimer timer(engine());
    timer.setInterval(requested);
    QCOMPARE(timer.interval(), expected);
}

void TestIntervalTimer::leadFollowsRecentWakeUps_data()
{
    // Of 32 wake-ups, `stalls` were 5 ms late and the rest `typicalUs`.
    QTest::addColumn<int>("typicalUs");
    QTest::addColumn<int>("stalls");
    QTest::addColumn<int>("stepUs");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("leadUs");
    QTest::newRow("on time") << 0 << 0 << 0 << 100 << 50;
    QTest::newRow("steady") << 80 << 0 << 0 << 100 << 130;
    QTest::newRow("one stall, ignored") << 80 << 1 << 0 << 100 << 130;
    QTest::newRow("stalls, bounded") << 80 << 2 << 0 << 100 << 500;
    QTest::newRow("stalls, millisecond timer") << 80 << 2 << 1000 << 100 << 1500;
    QTest::newRow("late as a rule") << 1100 << 0 << 0 << 100 << 1150;
    QTest::newRow("late as a rule, stalls") << 1100 << 2 << 0 << 100 << 2000;
    QTest::newRow("half a short interval") << 1100 << 0 << 0 << 1 << 500;
}

void TestIntervalTimer::leadFollowsRecentWakeUps()
{
    QFETCH(int, typicalUs);
    QFETCH(int, stalls);
    QFETCH(int, stepUs);
    QFETCH(int, intervalMs);
    QFETCH(int, leadUs);
    IntervalTimer::Lateness lateness;
    lateness.fill(typicalUs * 1000);
    std::fill_n(lateness.begin(), stalls, 5'000'000);
    QCOMPARE(IntervalTimer::wakeLead(lateness, stepUs * 1000, intervalMs), leadUs * 1000);
}

QTEST_GUILESS_MAIN(TestIntervalTimer)
#include "tst_intervaltimer.moc"
