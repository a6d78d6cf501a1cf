#include "formVantrel.h"

#include "FigureLabel.h"
#include "InstrumentLink.h"
#include "IntervalTimer.h"
#include "Protocol.h"
#include "ReplyParser.h"
#include "WaitText.h"

#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

namespace {

// The layout is drawn in twips, 15 to a pixel at 96 dots per inch.
int px(int twips)
{
    return qRound(twips / 15.0);
}

QRect twipsRect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

const QString notYetMeasured = QStringLiteral("???");

} // namespace

formVantrel::formVantrel(const InstrumentEndpoint &endpoint, MonotonicClock clock, QWidget *parent)
    : QWidget(parent)
    , m_endpoint(endpoint)
    , m_sock(new InstrumentLink(endpoint.ports, this))
    , m_cycle(new MeasurementCycle(m_sock, std::move(clock), this))
{
    setObjectName(QStringLiteral("formVantrel"));
    setWindowTitle(QStringLiteral("Vantrel SPEED TEST"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/vantrel.ico")));
    // A small sans font at 11 pixels (8 points at 96 dots per inch) fits every
    // caption, figure and wait text in the controls' fixed sizes. Tahoma is on
    // every Windows; DejaVu Sans on most Linux desktops.
#ifdef Q_OS_WIN
    QFont font(QStringLiteral("Tahoma"));
#else
    QFont font(QStringLiteral("DejaVu Sans"));
#endif
    font.setPixelSize(11);
    setFont(font);
    resize(px(4695), px(2505));
    buildControls();

    connect(m_sock, &InstrumentLink::dataArrival, this, &formVantrel::Sock_DataArrival);
    connect(m_cycle, &MeasurementCycle::cycleMeasured, this, &formVantrel::showCycleTime);
}

void formVantrel::buildControls()
{
    const auto makeFrame = [this](const char *name, const QString &caption, QRect geometry) {
        auto *frame = new QGroupBox(caption, this);
        frame->setObjectName(QString::fromLatin1(name));
        frame->setGeometry(geometry);
        return frame;
    };
    const auto makeLabel
        = [](QGroupBox *frame, const char *name, const QString &spokenAs, QRect geometry) {
              auto *label = new FigureLabel(notYetMeasured, spokenAs, frame);
              label->setObjectName(QString::fromLatin1(name));
              label->setAlignment(Qt::AlignCenter);
              label->setGeometry(geometry);
              return label;
          };

    // Created in tab order; no layouts, so nothing moves when the window is resized.
    cmdReset = new QPushButton(QStringLiteral("Reset"), this);
    cmdReset->setObjectName(QStringLiteral("cmdReset"));
    cmdReset->setGeometry(twipsRect(450, 2160, 700, 250));
    // Outside a dialog a push button ignores Enter unless it is auto-default.
    cmdReset->setAutoDefault(true);
    connect(cmdReset, &QPushButton::clicked, this, &formVantrel::cmdReset_Click);

    Frame1 = makeFrame("Frame1", QStringLiteral("Run Time (mS)"), twipsRect(1650, 1300, 1455, 950));
    Frame2
        = makeFrame("Frame2", QStringLiteral("Cycle Time (mS)"), twipsRect(3200, 1300, 1455, 950));
    Frame3 = makeFrame("Frame3", QStringLiteral("Wait (mS)"), twipsRect(100, 1300, 1455, 735));

    txtWaitTime = new QLineEdit(QStringLiteral("100"), Frame3);
    txtWaitTime->setObjectName(QStringLiteral("txtWaitTime"));
    txtWaitTime->setAlignment(Qt::AlignCenter);
    txtWaitTime->setGeometry(twipsRect(120, 360, 1215, 285));
    connect(txtWaitTime, &QLineEdit::textChanged, this, &formVantrel::txtWaitTime_Change);

    // A screen reader hears which figure is which; the run-time tooltips serve
    // as those labels' descriptions.
    lblRunTime = makeLabel(Frame1, "lblRunTime", QStringLiteral("Latest run time"),
                           twipsRect(100, 360, 1215, 200));
    lblRunTime->setToolTip(QStringLiteral("Experiment run time from Rabbit"));
    lblCycleTime = makeLabel(Frame2, "lblCycleTime", QStringLiteral("Latest cycle time"),
                             twipsRect(100, 360, 1215, 200));
    lblCycleTime->setAccessibleDescription(
        QStringLiteral("Cycle time measured here, from one run request to the next"));
    lblRunTimeAvg = makeLabel(Frame1, "lblRunTimeAvg", QStringLiteral("Average run time"),
                              twipsRect(100, 650, 1215, 200));
    lblRunTimeAvg->setToolTip(QStringLiteral("Average experiment run time from Rabbit"));
    lblCycleTimeAvg = makeLabel(Frame2, "lblCycleTimeAvg", QStringLiteral("Average cycle time"),
                                twipsRect(100, 650, 1215, 200));
    lblCycleTimeAvg->setAccessibleDescription(QStringLiteral("Average cycle time measured here"));

    // Reset is the first focusable control, so the window opens with it focused.
    setTabOrder(cmdReset, txtWaitTime);
    cmdReset->setFocus();
}

StartupResult formVantrel::Form_Load()
{
    txtWaitTime_Change();

    if (!m_sock->setRemoteHost(m_endpoint.instrumentAddress))
        return {StartupResult::Status::Failed,
                QStringLiteral("instrument address '%1' is not an IPv4 address")
                    .arg(m_endpoint.instrumentAddress)};

    switch (m_sock->bind()) {
    case InstrumentLink::BindResult::Bound:
        break;
    case InstrumentLink::BindResult::AddressInUse:
        return {StartupResult::Status::AddressInUse, {}};
    case InstrumentLink::BindResult::Failed:
        return {StartupResult::Status::Failed,
                QStringLiteral("cannot bind UDP port %1: %2")
                    .arg(m_endpoint.ports.localPort)
                    .arg(m_sock->errorString())};
    }

    if (!m_sock->send(Protocol::reset)) {
        const QString why = m_sock->errorString();
        m_sock->close();
        return {StartupResult::Status::Failed,
                QStringLiteral("cannot send to the instrument at %1 port %2: %3")
                    .arg(m_endpoint.instrumentAddress)
                    .arg(m_endpoint.ports.remotePort)
                    .arg(why)};
    }

    // Armed only once start-up has succeeded: a refused copy must never reach
    // a run step, which would start an experiment under the running copy.
    m_cycle->arm();
    return {StartupResult::Status::Running, {}};
}

void formVantrel::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_cycle->disarm();
    m_sock->close();
    // Closing a UDP socket completes at once; the deadline only guards
    // against a platform where it would not.
    const QDeadlineTimer deadline(1000);
    while (m_sock->state() != 0 && !deadline.hasExpired()) { }
}

void formVantrel::txtWaitTime_Change()
{
    // A new interval takes effect at once: a pending wait restarts from now,
    // also when Reset sets the same value again.
    IntervalTimer *const wait = m_cycle->tmrGetData();
    wait->setInterval(waitIntervalFromText(txtWaitTime->text()));

    // The line shows the interval the timer really uses, after clamping.
    m_drawnLines = {
        QStringLiteral("Runs for%1mS then requests counters and timer.")
            .arg(QLatin1Char(' ') + QString::number(wait->interval())),
        QStringLiteral("Counters data are ignored.  Repeats ad nauseum."),
    };
    update();
    // The drawn lines are the only place the window says which wait is in
    // use; a screen reader reads them as the window's description.
    setAccessibleDescription(m_drawnLines.join(QLatin1Char('\n')));

    m_runFigure.reset();
    m_cycleFigure.reset();
}

void formVantrel::cmdReset_Click()
{
    txtWaitTime_Change();
}

void formVantrel::Sock_DataArrival(const QByteArray &payload)
{
    m_rxBuffer.append(payload);
    const qsizetype consumed = consumeReplies(m_rxBuffer, [this](const Reply &reply) {
        if (reply.kind == Reply::Kind::Timer) {
            m_cycle->timerReplyConsumed();
            showRunTime(reply.runTimeMs);
        } else {
            m_cycle->countersReplyConsumed();
        }
    });
    m_rxBuffer.remove(0, consumed);

    if (m_cycle->gotTimer() && m_cycle->gotCounters())
        m_cycle->tmrRun_Timer();
}

void formVantrel::showRunTime(quint64 ms)
{
    lblRunTime->setFigure(QString::number(ms));
    m_runFigure.add(ms);
    lblRunTimeAvg->setFigure(QString::number(m_runFigure.average()));
}

void formVantrel::showCycleTime(quint64 ms)
{
    lblCycleTime->setFigure(QString::number(ms));
    m_cycleFigure.add(ms);
    lblCycleTimeAvg->setFigure(QString::number(m_cycleFigure.average()));
}

void formVantrel::paintEvent(QPaintEvent *)
{
    // The two lines are kept and drawn again on every repaint, line by line
    // from the top-left corner in the window's font.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics(font());
    int baseline = metrics.ascent();
    for (const QString &line : std::as_const(m_drawnLines)) {
        painter.drawText(0, baseline, line);
        baseline += metrics.lineSpacing();
    }
}

void formVantrel::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}
