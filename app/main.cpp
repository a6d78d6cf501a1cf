#include "InstrumentEndpoint.h"
#include "Realtime.h"
#include "SingleInstanceMessage.h"
#include "formVantrel.h"

#include <QApplication>
#include <QPointer>
#include <QThread>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantrel-speedtest"));
    // No display name: Qt would append it to every window title, and the
    // captions must read exactly as they are. Desktops take the program's
    // name from its launcher, found through the desktop file name.
    QApplication::setDesktopFileName(QStringLiteral("org.vantrel.SpeedTest"));

    formVantrel window(shippedEndpoint());
    QPointer<QThread> askingForRealtime;
    const StartupResult startup = window.Form_Load();
    switch (startup.status) {
    case StartupResult::Status::Running:
        askingForRealtime = raiseThreadPriority();
        break;
    case StartupResult::Status::AddressInUse:
        showSingleInstanceMessage();
        return 1;
    case StartupResult::Status::Failed:
        std::fprintf(stderr, "vantrel-speedtest: %s\n", qUtf8Printable(startup.failure));
        return 1;
    }

    window.show();
    const int status = app.exec();
    // A system bus that stops answering once asked holds Qt's D-Bus thread
    // for as long as its call waits, and the process's end with it; nothing
    // is left to do that needs either.
    if (askingForRealtime && askingForRealtime->isRunning())
        std::_Exit(status);
    return status;
}
