#include "InstrumentLink.h"
#include "IntervalTimer.h"
#include "LoopbackInstrument.h"
#include "Realtime.h"
#include "SingleInstanceMessage.h"
#include "formVantrel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <unistd.h>
#endif

Q_DECLARE_METATYPE(RealtimeLimits)
Q_DECLARE_METATYPE(RealtimeStep)

// Start-up and shutdown against a loopback stand-in for the instrument.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void firstDatagramIsX();
    void secondCopyIsRefusedAndSendsNothing();
    void singleInstanceMessage();
    void portIsFreeRightAfterClose();
    void failuresOtherThanAddressInUse_data();
    void failuresOtherThanAddressInUse();
    void realtimeWaysInOrder_data();
    void realtimeWaysInOrder();
    void longRealtimeBurstFallsBackToNormal();
};

void TestStartup::firstDatagramIsX()
{
    LoopbackInstrument instrument;
    formVantrel window(instrument.endpoint());
    QCOMPARE(window.Form_Load().status, StartupResult::Status::Running);
    QVERIFY(instrument.waitFor(2));
    QCOMPARE(instrument.received[0].data, QByteArray("X"));
    QCOMPARE(instrument.received[1].data, QByteArray("XR"));
    QCOMPARE(instrument.received[0].senderPort, window.findChild<InstrumentLink *>()->localPort());
}

void TestStartup::secondCopyIsRefusedAndSendsNothing()
{
    LoopbackInstrument instrument;
    formVantrel first(instrument.endpoint());
    QCOMPARE(first.Form_Load().status, StartupResult::Status::Running);
    const quint16 port = first.findChild<InstrumentLink *>()->localPort();

    formVantrel second(instrument.endpoint(port));
    QCOMPARE(second.Form_Load().status, StartupResult::Status::AddressInUse);
    QCOMPARE(second.findChild<InstrumentLink *>()->state(), 0);
    // Nothing of the refused copy may fire later either.
    QVERIFY(!second.findChild<IntervalTimer *>("tmrRun")->isEnabled());

    // The first copy goes on: "X", "XR", then "C1" and "T" a wait later.
    QVERIFY(instrument.waitFor(4));
    QTest::qWait(150);
    QCOMPARE(instrument.payloads().mid(0, 4), QList<QByteArray>({"X", "XR", "C1", "T"}));
    for (const auto &received : std::as_const(instrument.received))
        QCOMPARE(received.senderPort, port);
    QCOMPARE(first.findChild<InstrumentLink *>()->state(), int(QAbstractSocket::BoundState));
}

void TestStartup::singleInstanceMessage()
{
    QString text, title;
    int buttons = 0;
    bool noIcon = false;
    // Read the box while it is up, then dismiss it as a person would.
    std::function<void()> inspect = [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            QTimer::singleShot(10, inspect);
            return;
        }
        text = box->text();
        title = box->windowTitle();
        buttons = int(box->buttons().size());
        noIcon = box->icon() == QMessageBox::NoIcon;
        QVERIFY(box->button(QMessageBox::Ok));
        box->button(QMessageBox::Ok)->click();
    };
    QTimer::singleShot(0, inspect);
    showSingleInstanceMessage();
    QCOMPARE(text, QStringLiteral("Already running a GUI."));
    QCOMPARE(title, QStringLiteral("Can only run one GUI at a time"));
    QCOMPARE(buttons, 1);
    QVERIFY(noIcon);
}

void TestStartup::portIsFreeRightAfterClose()
{
    LoopbackInstrument instrument;
    auto window = std::make_unique<formVantrel>(instrument.endpoint());
    QCOMPARE(window->Form_Load().status, StartupResult::Status::Running);
    const quint16 port = window->findChild<InstrumentLink *>()->localPort();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(instrument.waitFor(2));

    window->close();
    QCOMPARE(window->findChild<InstrumentLink *>()->state(), 0);
    QUdpSocket next;
    QVERIFY2(next.bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress),
             qPrintable(next.errorString()));

    // A closed window sends nothing more.
    const qsizetype sent = instrument.received.size();
    QTest::qWait(300);
    QCOMPARE(instrument.received.size(), sent);
}

void TestStartup::failuresOtherThanAddressInUse_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("localAddress");
    QTest::addColumn<quint16>("remotePort");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("instrument address not IPv4") << "rabbit.local"
                                                 << "127.0.0.1" << quint16(9) << "rabbit.local";
    QTest::newRow("local address not on this machine")
        << "127.0.0.1"
        << "192.0.2.1" << quint16(9) << "cannot bind";
    QTest::newRow("first send refused") << "127.0.0.1"
                                        << "127.0.0.1" << quint16(0) << "cannot send";
}

void TestStartup::failuresOtherThanAddressInUse()
{
    QFETCH(QString, address);
    QFETCH(QString, localAddress);
    QFETCH(quint16, remotePort);
    QFETCH(QString, mentions);
    if (localAddress == QLatin1String("192.0.2.1") && runningUnderWine())
        QSKIP("Wine binds an address the machine does not have; Windows refuses");
    formVantrel window({address, {remotePort, QHostAddress(localAddress), 0}});
    const StartupResult result = window.Form_Load();
    if (remotePort == 0 && result.status == StartupResult::Status::Running && runningUnderWine())
        QSKIP("Wine 10 sends to port 0; Windows and Wine 8 refuse");
    QCOMPARE(result.status, StartupResult::Status::Failed);
    QVERIFY2(result.failure.contains(mentions), qPrintable(result.failure));
    QVERIFY(!window.findChild<IntervalTimer *>("tmrRun")->isEnabled());
}

void TestStartup::realtimeWaysInOrder_data()
{
    using Way = RealtimeStep::Way;
    using Rtkit = RealtimeLimits::Rtkit;
    QTest::addColumn<RealtimeLimits>("limits");
    QTest::addColumn<QList<RealtimeStep>>("steps");
    const RealtimeStep own {Way::Scheduler, 10, 200'000};
    QTest::newRow("nothing granted: try the scheduler, in case of CAP_SYS_NICE")
        << RealtimeLimits {} << QList {own};
    QTest::newRow("a low rtprio and a nice limit")
        << RealtimeLimits {5, -20, {}}
        << QList<RealtimeStep> {{Way::Scheduler, 5, 200'000}, {Way::Nice, -11, 0}};
    QTest::newRow("rtkit as Debian sets it up")
        << RealtimeLimits {0, 0, Rtkit {20, -15, 200'000}}
        << QList<RealtimeStep> {own, {Way::Rtkit, 10, 200'000}, {Way::RtkitNice, -11, 0}};
    QTest::newRow("rtkit's lower limits are kept to")
        << RealtimeLimits {0, 0, Rtkit {3, -5, 50'000}}
        << QList<RealtimeStep> {own, {Way::Rtkit, 3, 50'000}, {Way::RtkitNice, -5, 0}};
    QTest::newRow("rtkit granting no real-time")
        << RealtimeLimits {0, 0, Rtkit {0, -15, 200'000}}
        << QList<RealtimeStep> {own, {Way::RtkitNice, -11, 0}};
}

void TestStartup::realtimeWaysInOrder()
{
    QFETCH(RealtimeLimits, limits);
    QFETCH(QList<RealtimeStep>, steps);
    QVERIFY(realtimeSteps(limits) == steps);
}

void TestStartup::longRealtimeBurstFallsBackToNormal()
{
#ifndef Q_OS_LINUX
    QSKIP("rtkit's limits and RLIMIT_RTTIME are Linux's");
#else
    raiseThreadPriority();
    // Root always may.
    if (geteuid() != 0 && (sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) != SCHED_RR)
        QSKIP("this process may not raise itself (not root, no CAP_SYS_NICE or RLIMIT_RTPRIO)");
    QCOMPARE(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, SCHED_RR);
    // Busy for longer than half a burst, without a system call that
    // sleeps: the soft limit's signal comes, and the thread runs on.
    const auto until
        = std::chrono::steady_clock::now() + std::chrono::microseconds(realtimeBurstUs * 3 / 4);
    while (std::chrono::steady_clock::now() < until
           && (sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_RR) { }
    QCOMPARE(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, SCHED_OTHER);
#endif
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
