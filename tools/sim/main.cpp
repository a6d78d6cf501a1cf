// vantrel-sim: a simulated counter instrument for tests, benchmarks and demos.
#include "Simulator.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString message;
    bool isError = false;
    const auto options = parseSimOptions(QCoreApplication::arguments(), message, isError);
    if (!options) {
        std::fprintf(isError ? stderr : stdout, "%s%s\n", isError ? "vantrel-sim: " : "",
                     qUtf8Printable(message));
        return isError ? 2 : 0;
    }

    // SIGINT and SIGTERM end the run cleanly, with the log flushed.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("vantrel-sim: socketpair");
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    Simulator simulator(*options);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &simulator, &Simulator::stop);
    QObject::connect(&simulator, &Simulator::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QString error;
    if (!simulator.start(error)) {
        std::fprintf(stderr, "vantrel-sim: %s\n", qUtf8Printable(error));
        return 1;
    }
    std::fprintf(stderr, "vantrel-sim: listening on %s port %u\n",
                 qUtf8Printable(options->address.toString()), unsigned(options->port));
    return app.exec();
}
