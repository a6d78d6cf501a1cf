#include "IntervalTimer.h"
#include "LoopbackInstrument.h"
#include "formVantrel.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QStyleOptionGroupBox>
#include <QTest>

#include <tuple>

// The window on its own, never loaded: its link stays unbound and sends nothing.
class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowFrame();
    void controlGeometry_data();
    void controlGeometry();
    void startTexts();
    void textsFitTheirControls();
    void drawnTextIsPainted();
    void resizingMovesNothing();
    void focusOpensOnReset();
    void resetByKey_data();
    void resetByKey();
    void everyKeystrokeAppliesTheWait();
    void drawnLineShowsTheIntervalInUse_data();
    void drawnLineShowsTheIntervalInUse();
    void resetKeepsLabelsAndZeroesFigures();
    void screenReaderTellsFiguresApart_data();
    void screenReaderTellsFiguresApart();

private:
    template<typename T> T *control(const char *name)
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    void feedRunTime(quint32 ms) { window->Sock_DataArrival(timerReply(ms)); }
    // Both replies of a cycle `cycleMs` long: a run time and a cycle time.
    void completeCycle(quint32 runMs, int cycleMs)
    {
        now += std::chrono::milliseconds(cycleMs);
        window->Sock_DataArrival(countersReply() + timerReply(runMs));
    }
    QString shown(const char *label) { return control<QLabel>(label)->text(); }

    std::chrono::nanoseconds now {};
    std::unique_ptr<formVantrel> window;
};

void TestWindow::init()
{
    window = std::make_unique<formVantrel>(offlineEndpoint(), [this] { return now; });
}

void TestWindow::cleanup()
{
    window.reset();
}

void TestWindow::windowFrame()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Vantrel SPEED TEST"));
    QCOMPARE(window->size(), QSize(313, 167));
    const QList<QSize> sizes = window->windowIcon().availableSizes();
    QVERIFY2(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)),
             "the icon needs both a 32 and a 16 pixel image");
    const QImage big = window->windowIcon().pixmap(32, 32).toImage();
    QCOMPARE(big.pixelColor(0, 0), QColor(Qt::black));
}

void TestWindow::controlGeometry_data()
{
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    // Rows named by the control. Twips divided by 15, rounded to the nearest pixel.
    const std::tuple<const char *, const char *, QRect> controls[] = {
        {"cmdReset", "formVantrel", {30, 144, 47, 17}},
        {"Frame1", "formVantrel", {110, 87, 97, 63}},
        {"Frame2", "formVantrel", {213, 87, 97, 63}},
        {"Frame3", "formVantrel", {7, 87, 97, 49}},
        {"txtWaitTime", "Frame3", {8, 24, 81, 19}},
        {"lblRunTime", "Frame1", {7, 24, 81, 13}},
        {"lblRunTimeAvg", "Frame1", {7, 43, 81, 13}},
        {"lblCycleTime", "Frame2", {7, 24, 81, 13}},
        {"lblCycleTimeAvg", "Frame2", {7, 43, 81, 13}},
    };
    for (const auto &[name, parent, geometry] : controls)
        QTest::newRow(name) << QString::fromLatin1(parent) << geometry;
}

void TestWindow::controlGeometry()
{
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    const QWidget *widget = window->findChild<QWidget *>(QTest::currentDataTag());
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    QCOMPARE(widget->geometry(), geometry);
}

void TestWindow::startTexts()
{
    QCOMPARE(control<QPushButton>("cmdReset")->text(), QStringLiteral("Reset"));
    QCOMPARE(control<QGroupBox>("Frame1")->title(), QStringLiteral("Run Time (mS)"));
    QCOMPARE(control<QGroupBox>("Frame2")->title(), QStringLiteral("Cycle Time (mS)"));
    QCOMPARE(control<QGroupBox>("Frame3")->title(), QStringLiteral("Wait (mS)"));
    const auto *wait = control<QLineEdit>("txtWaitTime");
    QCOMPARE(wait->text(), QStringLiteral("100"));
    QCOMPARE(wait->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    for (const char *name : {"lblRunTime", "lblRunTimeAvg", "lblCycleTime", "lblCycleTimeAvg"}) {
        const auto *label = control<QLabel>(name);
        QCOMPARE(label->text(), QStringLiteral("???"));
        QCOMPARE(label->alignment(), Qt::AlignCenter);
    }
    QCOMPARE(control<QLabel>("lblRunTime")->toolTip(),
             QStringLiteral("Experiment run time from Rabbit"));
    QCOMPARE(control<QLabel>("lblRunTimeAvg")->toolTip(),
             QStringLiteral("Average experiment run time from Rabbit"));
}

void TestWindow::textsFitTheirControls()
{
    // The widest texts each control will hold: ten-digit figures, a wait of
    // five digits, the longest frame caption and the drawn line.
    const QFontMetrics metrics(window->font());
    for (const char *name : {"lblRunTime", "lblRunTimeAvg", "lblCycleTime", "lblCycleTimeAvg"}) {
        const QLabel *label = control<QLabel>(name);
        QVERIFY(metrics.horizontalAdvance(QStringLiteral("4294967295")) <= label->width());
        QVERIFY(metrics.height() <= label->height());
    }
    // What the style leaves of the wait box and of Reset for their texts: its
    // padding differs between styles (windows11 pads the most).
    qInfo("style: %s", qPrintable(window->style()->name()));
    const QLineEdit *wait = control<QLineEdit>("txtWaitTime");
    QStyleOptionFrame box;
    box.initFrom(wait);
    box.lineWidth = wait->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &box, wait);
    const QRect waitText = wait->style()->subElementRect(QStyle::SE_LineEditContents, &box, wait);
    QVERIFY(metrics.horizontalAdvance(QStringLiteral("65535")) < waitText.width() - 4);
    QVERIFY(metrics.height() <= waitText.height());
    for (const char *name : {"Frame1", "Frame2", "Frame3"}) {
        // Where the style puts the caption, which differs by platform.
        const QGroupBox *frame = control<QGroupBox>(name);
        QStyleOptionGroupBox option;
        option.initFrom(frame);
        option.text = frame->title();
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect caption = frame->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                             QStyle::SC_GroupBoxLabel, frame);
        QVERIFY2(caption.left() >= 0 && caption.right() < frame->width(), name);
        QVERIFY2(metrics.horizontalAdvance(frame->title()) <= caption.width(), name);
    }
    const QPushButton *reset = control<QPushButton>("cmdReset");
    QStyleOptionButton button;
    button.initFrom(reset);
    button.text = reset->text();
    const QRect resetText
        = reset->style()->subElementRect(QStyle::SE_PushButtonContents, &button, reset);
    // Its height holds no more than the label's: the style centres the text
    // over the padding, which in a button 17 pixels high is more than it has.
    QVERIFY(metrics.horizontalAdvance(reset->text()) < resetText.width());
    window->findChild<QLineEdit *>("txtWaitTime")->setText(QStringLiteral("65535"));
    QVERIFY(metrics.horizontalAdvance(window->drawnLines().at(0)) < window->width());
    QVERIFY(2 * metrics.lineSpacing() < control<QGroupBox>("Frame1")->y());
}

void TestWindow::drawnTextIsPainted()
{
    window->txtWaitTime_Change(); // as start-up does, before the window shows
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QRect band(0, 0, window->width(), 80);
    // What the screen holds: grab() would paint afresh whatever is stale.
    const auto onScreen
        = [&] { return window->screen()->grabWindow(window->winId()).toImage().copy(band); };
    const auto freshPaint = [&] { return window->grab(band).toImage(); };
    QTRY_VERIFY(onScreen() == freshPaint()); // the first paint has reached the screen
    const QImage first = onScreen();
    int ink = 0;
    for (int y = 0; y < first.height(); ++y)
        for (int x = 0; x < first.width(); ++x)
            ink += first.pixelColor(x, y) != first.pixelColor(first.width() - 1, 0);
    QVERIFY2(ink > 200, "the two lines are not drawn");

    // A new wait redraws the line on screen, not only in the next full paint.
    control<QLineEdit>("txtWaitTime")->setText(QStringLiteral("65535"));
    QTRY_VERIFY(onScreen() == freshPaint());
    QVERIFY(onScreen() != first);
}

void TestWindow::resizingMovesNothing()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QList<QRect> before;
    const QList<QWidget *> children = window->findChildren<QWidget *>();
    for (const QWidget *child : children)
        before.append(child->geometry());
    window->resize(640, 480);
    QTest::qWait(20);
    QCOMPARE(window->size(), QSize(640, 480));
    for (qsizetype i = 0; i < children.size(); ++i)
        QCOMPARE(children[i]->geometry(), before[i]);
}

void TestWindow::focusOpensOnReset()
{
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QCOMPARE(QApplication::focusWidget(), control<QPushButton>("cmdReset"));
    // Tab goes on to the wait box: labels and frames take no focus.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), control<QLineEdit>("txtWaitTime"));
}

void TestWindow::resetByKey_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter on the keypad") << int(Qt::Key_Enter);
    QTest::newRow("Space") << int(Qt::Key_Space);
}

void TestWindow::resetByKey()
{
    QFETCH(int, key);
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    feedRunTime(100);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    feedRunTime(300);
    QCOMPARE(shown("lblRunTimeAvg"), QStringLiteral("300")); // 200 without the reset
}

void TestWindow::everyKeystrokeAppliesTheWait()
{
    auto *wait = control<QLineEdit>("txtWaitTime");
    completeCycle(1, 0); // the first run step starts the cycle clock
    wait->clear();
    QCOMPARE(window->findChild<IntervalTimer *>("tmrGetData")->interval(), 0);
    // Each value differs from those before it, so an average that is the
    // value itself shows both figures were zeroed by the keystroke before.
    int cycle = 0;
    for (const auto &[key, interval] : {std::pair {'2', 2}, {'5', 25}, {'0', 250}}) {
        ++cycle;
        completeCycle(10 * cycle, 100 * cycle);
        QCOMPARE(shown("lblRunTimeAvg"), QString::number(10 * cycle));
        QCOMPARE(shown("lblCycleTimeAvg"), QString::number(100 * cycle));
        QTest::keyClick(wait, key);
        QCOMPARE(window->findChild<IntervalTimer *>("tmrGetData")->interval(), interval);
        QCOMPARE(window->drawnLines().at(0),
                 QStringLiteral("Runs for%1mS then requests counters and timer.")
                     .arg(QLatin1Char(' ') + QString::number(interval)));
        QCOMPARE(shown("lblRunTime"), QString::number(10 * cycle)); // shown stays
    }
    completeCycle(7, 9);
    QCOMPARE(shown("lblRunTimeAvg"), QStringLiteral("7"));
    QCOMPARE(shown("lblCycleTimeAvg"), QStringLiteral("9"));
}

void TestWindow::drawnLineShowsTheIntervalInUse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("firstLine");
    QTest::newRow("design") << "100"
                            << "Runs for 100mS then requests counters and timer.";
    QTest::newRow("empty") << ""
                           << "Runs for 0mS then requests counters and timer.";
    QTest::newRow("letters") << "abc"
                             << "Runs for 0mS then requests counters and timer.";
    QTest::newRow("too large") << "99999"
                               << "Runs for 65535mS then requests counters and timer.";
    QTest::newRow("negative") << "-5"
                              << "Runs for 0mS then requests counters and timer.";
}

void TestWindow::drawnLineShowsTheIntervalInUse()
{
    QFETCH(QString, text);
    QFETCH(QString, firstLine);
    auto *wait = control<QLineEdit>("txtWaitTime");
    wait->setText(QStringLiteral("1"));
    wait->setText(text);
    QCOMPARE(window->drawnLines(),
             QStringList({firstLine, "Counters data are ignored.  Repeats ad nauseum."}));
}

void TestWindow::resetKeepsLabelsAndZeroesFigures()
{
    const auto *cycle = window->findChild<MeasurementCycle *>();
    completeCycle(100, 0); // the first run step starts the cycle clock
    completeCycle(200, 30);
    // The next cycle's counters and half its timer reply outlive the reset.
    window->Sock_DataArrival(countersReply() + timerReply(40).left(3));
    QVERIFY(cycle->gotCounters() && !cycle->gotTimer());
    QCOMPARE(shown("lblRunTimeAvg"), QStringLiteral("150"));
    control<QPushButton>("cmdReset")->click();
    QCOMPARE(window->findChild<IntervalTimer *>("tmrGetData")->interval(), 100);
    QCOMPARE(shown("lblRunTime"), QStringLiteral("200"));
    QCOMPARE(shown("lblRunTimeAvg"), QStringLiteral("150"));
    QCOMPARE(shown("lblCycleTime"), QStringLiteral("30"));
    // The first values after a reset are also their averages; with the rest
    // of the timer reply the cycle's replies are complete and the run step
    // clears the flags.
    now += std::chrono::milliseconds(50);
    window->Sock_DataArrival(timerReply(40).mid(3));
    QCOMPARE(shown("lblRunTime"), QStringLiteral("40"));
    QCOMPARE(shown("lblRunTimeAvg"), QStringLiteral("40"));
    QCOMPARE(shown("lblCycleTimeAvg"), QStringLiteral("50"));
    QVERIFY(!cycle->gotTimer() && !cycle->gotCounters());
}

void TestWindow::screenReaderTellsFiguresApart_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("name"); // %1: the digits shown
    QTest::addColumn<QString>("description");
    QTest::newRow("latest run time") << "lblRunTime"
                                     << "Latest run time: %1 mS"
                                     << "Experiment run time from Rabbit";
    QTest::newRow("average run time") << "lblRunTimeAvg"
                                      << "Average run time: %1 mS"
                                      << "Average experiment run time from Rabbit";
    QTest::newRow("latest cycle time")
        << "lblCycleTime"
        << "Latest cycle time: %1 mS"
        << "Cycle time measured here, from one run request to the next";
    QTest::newRow("average cycle time") << "lblCycleTimeAvg"
                                        << "Average cycle time: %1 mS"
                                        << "Average cycle time measured here";
}

void TestWindow::screenReaderTellsFiguresApart()
{
    QFETCH(QString, label);
    QFETCH(QString, name);
    QFETCH(QString, description);
    auto *shown = control<QLabel>(label.toLatin1());
    QAccessibleInterface *figure = QAccessible::queryAccessibleInterface(shown);
    QCOMPARE(figure->text(QAccessible::Name), name.section(':', 0, 0) + ": not measured yet");

    for (int cycle = 0; cycle < 3; ++cycle) { // two run steps measure one cycle
        feedRunTime(100 + cycle);
        window->Sock_DataArrival(countersReply());
    }
    bool digits = false;
    shown->text().toUInt(&digits);
    QVERIFY(digits); // on screen still plain digits
    QCOMPARE(figure->text(QAccessible::Name), name.arg(shown->text()));
    QCOMPARE(figure->text(QAccessible::Value), shown->text());
    QCOMPARE(figure->text(QAccessible::Description), description);

    // The drawn lines, as they stand on screen, follow the wait.
    control<QLineEdit>("txtWaitTime")->setText(QStringLiteral("250"));
    QCOMPARE(QAccessible::queryAccessibleInterface(window.get())->text(QAccessible::Description),
             window->drawnLines().join('\n'));
    QVERIFY(window->drawnLines().first().contains(" 250mS"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
