#pragma once

#include "InstrumentEndpoint.h"
#include "MeasurementCycle.h"
#include "RunningFigure.h"

#include <QByteArray>
#include <QStringList>
#include <QWidget>

class FigureLabel;
class QGroupBox;
class QLineEdit;
class QPushButton;
class InstrumentLink;

// What start-up came to.
struct StartupResult
{
    enum class Status { Running, AddressInUse, Failed };
    Status status;
    QString failure; // what failed, for Failed
};

// The one window: the wait box, Reset, the run-time and cycle-time figures
// and two lines of text drawn above the frames. It owns the link to the
// instrument and the measurement cycle.
class formVantrel : public QWidget
{
    Q_OBJECT

public:
    // `clock` times the cycles; tests pass one they control.
    explicit formVantrel(const InstrumentEndpoint &endpoint, MonotonicClock clock = steadyNow,
                         QWidget *parent = nullptr);

    // Applies the wait, opens the link and says "X"; to be called once,
    // before the window is first shown.
    StartupResult Form_Load();
    // Closes the link and waits until it reports closed.
    void Form_Unload();

    // Applies the wait: the interval, the drawn text, both figures zeroed.
    void txtWaitTime_Change();
    void cmdReset_Click();
    // One datagram from the instrument.
    void Sock_DataArrival(const QByteArray &payload);

    const QStringList &drawnLines() const { return m_drawnLines; }
    // What a bound on the receive buffer under junk is checked against: no
    // other part of the window shows it.
    qsizetype rxBufferSize() const { return m_rxBuffer.size(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void showCycleTime(quint64 ms);
    void showRunTime(quint64 ms);

    InstrumentEndpoint m_endpoint;
    InstrumentLink *m_sock;
    MeasurementCycle *m_cycle;

    QPushButton *cmdReset = nullptr;
    QGroupBox *Frame1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QGroupBox *Frame3 = nullptr;
    QLineEdit *txtWaitTime = nullptr;
    FigureLabel *lblRunTime = nullptr;
    FigureLabel *lblRunTimeAvg = nullptr;
    FigureLabel *lblCycleTime = nullptr;
    FigureLabel *lblCycleTimeAvg = nullptr;

    RunningFigure m_runFigure; // runSum, runCount
    RunningFigure m_cycleFigure; // cycleSum, cycleCount
    QByteArray m_rxBuffer; // bytes of a reply not yet complete
    QStringList m_drawnLines;
    bool m_unloaded = false;
};
