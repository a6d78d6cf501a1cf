#include "formVantrel.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// The window on a loopback endpoint against vantrel-sim in its own process,
// with faults injected on the wire.
class TestSimulated : public QObject
{
    Q_OBJECT

private slots:
    void runsWithoutStallThroughFaults();
    void lostReplyStopsTheCycleForGood();

private:
    bool startSimulator(QProcess &sim, const QStringList &extra);
    std::unique_ptr<formVantrel> newWindow(const QString &wait) const;

    quint16 simPort = 0;
    QTemporaryDir dir;
};

bool TestSimulated::startSimulator(QProcess &sim, const QStringList &extra)
{
    // A port that was free a moment ago; the simulator binds it without sharing.
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::LocalHost, 0))
        return false;
    simPort = probe.localPort();
    probe.close();
    sim.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    sim.start(QStringLiteral(VANTREL_SIM_PATH),
              QStringList {"--address", "127.0.0.1", "--port", QString::number(simPort),
                           "--seconds", "120"}
                  + extra);
    if (!sim.waitForStarted())
        return false;
    QByteArray said;
    return QTest::qWaitFor(
               [&] {
                   said += sim.readAllStandardError();
                   return said.contains("listening") || sim.state() != QProcess::Running;
               },
               10000)
        && said.contains("listening");
}

std::unique_ptr<formVantrel> TestSimulated::newWindow(const QString &wait) const
{
    auto window = std::make_unique<formVantrel>(InstrumentEndpoint {
        QStringLiteral("127.0.0.1"), {simPort, QHostAddress(QHostAddress::LocalHost), 0}});
    window->findChild<QLineEdit *>("txtWaitTime")->setText(wait);
    return window;
}

void TestSimulated::runsWithoutStallThroughFaults()
{
    QVERIFY(dir.isValid());
    const QString logPath = dir.filePath("sim.csv");
    QProcess sim;
    QVERIFY(startSimulator(sim,
                           {"--run-time", "1-5000", "--split", "0.3", "--glue", "0.25", "--reorder",
                            "0.3", "--junk", "0.2", "--seed", "7", "--log", logPath}));
    const auto window = newWindow(QStringLiteral("1"));
    // Each cycle measured is one whose timer reply was consumed.
    QSignalSpy cycles(window->findChild<MeasurementCycle *>(), &MeasurementCycle::cycleMeasured);
    QCOMPARE(window->Form_Load().status, StartupResult::Status::Running);

    QVERIFY2(QTest::qWaitFor([&] { return cycles.size() >= 250; }, 60000),
             qPrintable(QStringLiteral("stalled after %1 cycles").arg(cycles.size())));
    window->close();
    const quint64 count = cycles.size();
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));

    // The figures are exactly those the simulator reported, in order.
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    log.readLine(); // header
    quint64 seen = 0, expectedSum = 0;
    int split = 0, glued = 0, junk = 0;
    while (!log.atEnd() && seen < count) {
        const QList<QByteArray> f = log.readLine().trimmed().split(',');
        QCOMPARE(f.size(), 7);
        split += f[4].contains("-part");
        glued += f[4].startsWith("glued");
        junk += f[4] == "junk";
        if (f[1] == "tx" && !f[5].isEmpty()) {
            expectedSum += f[5].toULongLong();
            ++seen;
        }
    }
    QCOMPARE(seen, count);
    QCOMPARE(window->findChild<QLabel *>("lblRunTimeAvg")->text(),
             QString::number(expectedSum / count));
    QVERIFY2(split > 0 && glued > 0 && junk > 0, "the faults were not exercised");
}

void TestSimulated::lostReplyStopsTheCycleForGood()
{
    QProcess sim;
    QVERIFY(startSimulator(sim, {"--drop-every", "20"}));
    const auto window = newWindow(QStringLiteral("1"));
    QSignalSpy cycles(window->findChild<MeasurementCycle *>(), &MeasurementCycle::cycleMeasured);
    QCOMPARE(window->Form_Load().status, StartupResult::Status::Running);
    QVERIFY(QTest::qWaitFor([&] { return cycles.size() >= 19; }, 30000));
    QTest::qWait(500);
    // The 20th cycle lost its timer reply: nothing times out or retries.
    QCOMPARE(cycles.size(), 19);
    const auto *cycle = window->findChild<MeasurementCycle *>();
    QVERIFY(cycle->gotCounters() && !cycle->gotTimer());
    window->close();
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
}

QTEST_MAIN(TestSimulated)
#include "tst_simulated.moc"
