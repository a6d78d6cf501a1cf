// Shows the window with sample figures, for looking at it under Xvfb.
// It talks only to a loopback port of its own: never to an instrument.
#include "LoopbackInstrument.h"
#include "formVantrel.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    LoopbackInstrument instrument;
    formVantrel window(instrument.endpoint());
    window.txtWaitTime_Change();
    for (const quint32 ms : {4294967295u, 1000u})
        window.Sock_DataArrival(timerReply(ms));
    window.show();
    if (argc > 1) // save a grab and quit: window_preview out.png
        QTimer::singleShot(500, [&] {
            window.grab().save(QString::fromLocal8Bit(argv[1]));
            app.quit();
        });
    return app.exec();
}
