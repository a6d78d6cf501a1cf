#include "InstrumentLink.h"
#include "LoopbackInstrument.h"
#include "SourceFilter.h"
#include "formVantrel.h"

#include <QLabel>
#include <QTest>

// Replies reaching the window: figures, cycle flags and the run step they start.
class TestArrivals : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void arrivals_data();
    void arrivals();
    void runTimeAverageIsFloored();
    void onlyCountersLeavesTheCycleWaiting();
    void bufferStaysBoundedUnderJunk();

    void allWaitingDatagramsAreRead();
    void foreignSendersAreIgnored();
    void kernelDropsForeignDatagrams();

private:
    QString label(const char *name) const
    {
        return window->findChild<QLabel *>(QString::fromLatin1(name))->text();
    }
    const MeasurementCycle *cycle() const { return window->findChild<MeasurementCycle *>(); }

    std::unique_ptr<formVantrel> window;
    int runSteps = 0; // each run step reads the clock once
};

void TestArrivals::init()
{
    runSteps = 0;
    window = std::make_unique<formVantrel>(
        offlineEndpoint(), [this] { return std::chrono::milliseconds(++runSteps); });
}

void TestArrivals::cleanup()
{
    window.reset();
}

void TestArrivals::arrivals_data()
{
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<QList<int>>("runStepsAfterEach");
    QTest::addColumn<QString>("runTime");

    const QByteArray t = timerReply(100), c = countersReply();
    QTest::newRow("timer then counters") << QList {t, c} << QList {0, 1} << "100";
    QTest::newRow("counters then timer") << QList {c, t} << QList {0, 1} << "100";
    QTest::newRow("both in one datagram") << QList {t + c} << QList {1} << "100";
    QTest::newRow("timer split 3 + 2")
        << QList {c, t.left(3), t.mid(3)} << QList {0, 0, 1} << "100";
    QTest::newRow("counters over several arrivals")
        << QList {t, c.left(1), c.mid(1, 600), c.mid(601, 424), c.right(1)} << QList {0, 0, 0, 0, 1}
        << "100";
    QTest::newRow("junk before each reply")
        << QList {QByteArray("zz") + t, QByteArray("\xff", 1) + c} << QList {0, 1} << "100";
    QTest::newRow("timer glued to the start of counters")
        << QList {t + c.left(10), c.mid(10)} << QList {0, 1} << "100";
    QTest::newRow("two cycles' replies in one datagram: one run step")
        << QList {t + c + timerReply(200) + c} << QList {1} << "200";
    QTest::newRow("empty datagram changes nothing") << QList {QByteArray()} << QList {0} << "???";
}

void TestArrivals::arrivals()
{
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QList<int>, runStepsAfterEach);
    QFETCH(QString, runTime);
    for (qsizetype i = 0; i < datagrams.size(); ++i) {
        window->Sock_DataArrival(datagrams[i]);
        QCOMPARE(runSteps, runStepsAfterEach[i]);
    }
    QCOMPARE(label("lblRunTime"), runTime);
    QCOMPARE(window->rxBufferSize(), 0);
    if (runSteps > 0)
        QVERIFY(!cycle()->gotTimer() && !cycle()->gotCounters());
}

void TestArrivals::runTimeAverageIsFloored()
{
    const QList<std::pair<quint32, const char *>> steps
        = {{100, "100"}, {200, "150"}, {202, "167"}};
    for (const auto &[ms, average] : steps) {
        window->Sock_DataArrival(timerReply(ms) + countersReply());
        QCOMPARE(label("lblRunTime"), QString::number(ms));
        QCOMPARE(label("lblRunTimeAvg"), QString::fromLatin1(average));
    }
    QCOMPARE(runSteps, 3);

    // The sum holds more than 32 bits.
    window->Sock_DataArrival(timerReply(4294967295u));
    QCOMPARE(label("lblRunTime"), QStringLiteral("4294967295"));
    QCOMPARE(label("lblRunTimeAvg"), QString::number((502 + 4294967295ull) / 4));
}

void TestArrivals::onlyCountersLeavesTheCycleWaiting()
{
    window->Sock_DataArrival(countersReply());
    window->Sock_DataArrival(countersReply());
    QVERIFY(cycle()->gotCounters() && !cycle()->gotTimer());
    QCOMPARE(runSteps, 0);
    QCOMPARE(label("lblRunTime"), QStringLiteral("???"));
}

void TestArrivals::bufferStaysBoundedUnderJunk()
{
    // A stray 'C' holds the buffer for at most one counters reply.
    for (int i = 0; i < 200; ++i)
        window->Sock_DataArrival(QByteArray(700, 'C'));
    QVERIFY(window->rxBufferSize() < 1026);
    for (int i = 0; i < 200; ++i)
        window->Sock_DataArrival(QByteArray(65507, char(i)));
    QVERIFY(window->rxBufferSize() < 1026);
}

void TestArrivals::allWaitingDatagramsAreRead()
{
    LoopbackInstrument instrument;
    formVantrel live(instrument.endpoint());
    QCOMPARE(live.Form_Load().status, StartupResult::Status::Running);
    const quint16 port = live.findChild<InstrumentLink *>()->localPort();
    QVERIFY(instrument.waitFor(4)); // X, XR, C1, T
    // Several datagrams wait in the socket before the window hears of any.
    // The average tells which of them were read.
    instrument.sendTo(port, timerReply(10));
    instrument.sendTo(port, timerReply(20));
    instrument.sendTo(port, timerReply(60));
    instrument.sendTo(port, countersReply());
    QVERIFY(instrument.waitFor(5));
    QCOMPARE(instrument.received[4].data, QByteArray("XR"));
    QCOMPARE(live.findChild<QLabel *>("lblRunTime")->text(), QStringLiteral("60"));
    QCOMPARE(live.findChild<QLabel *>("lblRunTimeAvg")->text(), QStringLiteral("30"));
}

void TestArrivals::foreignSendersAreIgnored()
{
    LoopbackInstrument instrument;
    formVantrel live(instrument.endpoint());
    QCOMPARE(live.Form_Load().status, StartupResult::Status::Running);
    const quint16 port = live.findChild<InstrumentLink *>()->localPort();
    QVERIFY(instrument.waitFor(4));

    // Another host on the network: 127.0.0.2 is not the instrument.
    QUdpSocket stranger;
    if (!stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0))
        QSKIP("this machine has no 127.0.0.2 on its loopback interface");
    if (runningUnderWine())
        QSKIP("Wine sends from 127.0.0.1 whatever the socket is bound to");
    stranger.writeDatagram(timerReply(666) + countersReply(), QHostAddress::LocalHost, port);
    stranger.writeDatagram(QByteArray("T"), QHostAddress::LocalHost, port);
    QTest::qWait(300);
    QCOMPARE(live.findChild<QLabel *>("lblRunTime")->text(), QStringLiteral("???"));
    QCOMPARE(live.rxBufferSize(), 0);
    QCOMPARE(instrument.received.size(), 4);

    // The instrument itself is still heard.
    instrument.sendTo(port, timerReply(5) + countersReply());
    QVERIFY(instrument.waitFor(5));
    QCOMPARE(live.findChild<QLabel *>("lblRunTime")->text(), QStringLiteral("5"));
}

void TestArrivals::kernelDropsForeignDatagrams()
{
#ifndef Q_OS_LINUX
    QSKIP("the kernel filter exists on Linux only");
#endif
    QUdpSocket receiver, instrument, stranger;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
    QVERIFY(instrument.bind(QHostAddress::LocalHost, 0));
    if (!stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0))
        QSKIP("this machine has no 127.0.0.2 on its loopback interface");
    QVERIFY(attachSourceFilter(receiver.socketDescriptor(), QHostAddress::LocalHost));

    // Sent first, the stranger's datagram would be first in the queue.
    stranger.writeDatagram(QByteArray("foreign"), QHostAddress::LocalHost, receiver.localPort());
    instrument.writeDatagram(QByteArray("own"), QHostAddress::LocalHost, receiver.localPort());
    QVERIFY(receiver.waitForReadyRead(5000));
    QCOMPARE(receiver.receiveDatagram().data(), QByteArray("own"));
    QVERIFY(!receiver.hasPendingDatagrams());
}

QTEST_MAIN(TestArrivals)
#include "tst_arrivals.moc"
