#include "InstrumentLink.h"
#include "IntervalTimer.h"
#include "LoopbackInstrument.h"
#include "formVantrel.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace std::chrono_literals;

// The measurement cycle against a loopback stand-in for the instrument.
// Timers never fire early, so "at least" bounds are exact; "at most" bounds
// are generous for a loaded machine.
class TestCycle : public QObject
{
    Q_OBJECT

private slots:
    void commandsInOrderAndOnTime();
    void replyStartedRunStepsLeaveTmrRunOff();
    void zeroWaitHaltsAndNonZeroResumes();
    void newWaitMidWaitCountsFromItsSetting_data();
    void newWaitMidWaitCountsFromItsSetting();
    void cycleTimesAreFlooredMilliseconds();
    void longHaltShowsItsFullLength();

private:
    static qint64 gap(const LoopbackInstrument &in, qsizetype from, qsizetype to)
    {
        return in.received[to].atMs - in.received[from].atMs;
    }
};

void TestCycle::commandsInOrderAndOnTime()
{
    LoopbackInstrument instrument;
    formVantrel window(instrument.endpoint());
    window.findChild<QLineEdit *>("txtWaitTime")->setText(QStringLiteral("150"));
    QCOMPARE(window.Form_Load().status, StartupResult::Status::Running);
    // Exact where timing cannot be: the first run step is set 100 ms after "X".
    QCOMPARE(window.findChild<IntervalTimer *>("tmrRun")->interval(), 100);
    QVERIFY(instrument.waitFor(4));
    QTest::qWait(100);
    QCOMPARE(instrument.payloads(), QList<QByteArray>({"X", "XR", "C1", "T"}));
    QVERIFY2(gap(instrument, 0, 1) >= 95, "XR came before the 100 ms start delay");
    QVERIFY2(gap(instrument, 0, 1) < 2000, "XR came very late");
    QVERIFY2(gap(instrument, 1, 2) >= 145, "C1 came before the wait was over");
    QVERIFY2(gap(instrument, 1, 2) < 2000, "C1 came very late");
}

void TestCycle::replyStartedRunStepsLeaveTmrRunOff()
{
    LoopbackInstrument instrument;
    formVantrel window(instrument.endpoint());
    window.findChild<QLineEdit *>("txtWaitTime")->setText(QStringLiteral("10"));
    QCOMPARE(window.Form_Load().status, StartupResult::Status::Running);
    const quint16 port = window.findChild<InstrumentLink *>()->localPort();
    for (int cycle = 0; cycle < 3; ++cycle) {
        QVERIFY(instrument.waitFor(4 + 3 * cycle));
        instrument.sendTo(port, timerReply(5));
        instrument.sendTo(port, countersReply());
        QVERIFY(instrument.waitFor(5 + 3 * cycle));
        QCOMPARE(instrument.received.last().data, QByteArray("XR"));
        QVERIFY(!window.findChild<IntervalTimer *>("tmrRun")->isEnabled());
    }
}

void TestCycle::zeroWaitHaltsAndNonZeroResumes()
{
    LoopbackInstrument instrument;
    formVantrel window(instrument.endpoint());
    auto *wait = window.findChild<QLineEdit *>("txtWaitTime");
    wait->clear();
    QCOMPARE(window.Form_Load().status, StartupResult::Status::Running);
    QVERIFY(instrument.waitFor(2));
    QTest::qWait(400);
    QCOMPARE(instrument.payloads(), QList<QByteArray>({"X", "XR"}));

    wait->setText(QStringLiteral("50"));
    QVERIFY(instrument.waitFor(4));
    QCOMPARE(instrument.payloads().mid(2), QList<QByteArray>({"C1", "T"}));
}

void TestCycle::newWaitMidWaitCountsFromItsSetting_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("shortened") << "5000"
                               << "200";
    QTest::newRow("lengthened") << "100"
                                << "600";
    QTest::newRow("same again (Reset)") << "300"
                                        << "300";
}

void TestCycle::newWaitMidWaitCountsFromItsSetting()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    LoopbackInstrument instrument;
    formVantrel window(instrument.endpoint());
    auto *wait = window.findChild<QLineEdit *>("txtWaitTime");
    wait->setText(before);
    QCOMPARE(window.Form_Load().status, StartupResult::Status::Running);
    QVERIFY(instrument.waitFor(2));
    QTest::qWait(50);
    if (instrument.received.size() != 2)
        QSKIP("the machine stalled through the whole wait");
    const qint64 setAt = instrument.clock.elapsed();
    if (after == before)
        window.cmdReset_Click();
    else
        wait->setText(after);
    QVERIFY(instrument.waitFor(3, 10000));
    QCOMPARE(instrument.received[2].data, QByteArray("C1"));
    const qint64 waited = instrument.received[2].atMs - setAt;
    QVERIFY2(waited >= after.toInt() - 1, qPrintable(QString::number(waited)));
    QVERIFY2(waited < after.toInt() + 2000, qPrintable(QString::number(waited)));
}

void TestCycle::cycleTimesAreFlooredMilliseconds()
{
    std::chrono::nanoseconds now = 5h;
    formVantrel window(offlineEndpoint(), [&] { return now; });
    auto *cycle = window.findChild<MeasurementCycle *>();
    auto *latest = window.findChild<QLabel *>("lblCycleTime");
    auto *average = window.findChild<QLabel *>("lblCycleTimeAvg");

    // The first run step has no cycle before it: it only starts the clock.
    cycle->tmrRun_Timer();
    QCOMPARE(latest->text(), QStringLiteral("???"));
    QCOMPARE(average->text(), QStringLiteral("???"));

    now += 120999us;
    cycle->tmrRun_Timer();
    QCOMPARE(latest->text(), QStringLiteral("120"));
    QCOMPARE(average->text(), QStringLiteral("120"));

    now += 125ms + 1us;
    cycle->tmrRun_Timer();
    QCOMPARE(latest->text(), QStringLiteral("125"));
    QCOMPARE(average->text(), QStringLiteral("122"));

    // Reset zeroes the figure, not the cycle under way.
    window.cmdReset_Click();
    now += 7ms;
    cycle->tmrRun_Timer();
    QCOMPARE(latest->text(), QStringLiteral("7"));
    QCOMPARE(average->text(), QStringLiteral("7"));
}

void TestCycle::longHaltShowsItsFullLength()
{
    // Across midnight and after hours of halt: a monotonic clock knows no day.
    std::chrono::nanoseconds now = 23h + 59min + 59s;
    formVantrel window(offlineEndpoint(), [&] { return now; });
    auto *cycle = window.findChild<MeasurementCycle *>();
    cycle->tmrRun_Timer();
    now += 30h + 250us;
    cycle->tmrRun_Timer();
    QCOMPARE(window.findChild<QLabel *>("lblCycleTime")->text(), QStringLiteral("108000000"));
}

QTEST_MAIN(TestCycle)
#include "tst_cycle.moc"
