#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// How the simulated instrument behaves; filled from its command line.
struct SimOptions
{
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 37829;
    quint32 runTimeMin = 10; // reported run time, drawn per run from [min, max]
    quint32 runTimeMax = 10;
    int delayMs = 0; // before each answer
    // Faults, each a probability per cycle (0 to 1).
    double split = 0; // a reply split over several datagrams
    double glue = 0; // both replies in one datagram
    double reorder = 0; // timer reply before counters reply
    double junk = 0; // a datagram of junk before the replies
    int dropEvery = 0; // drop one reply of every N-th cycle (0: never)
    quint32 seed = 1;
    QString logPath; // CSV of every datagram in and out
    qint64 stopAfterRuns = 0; // "XR" commands, 0: no limit
    double stopAfterSeconds = 0;
};

// Parses `arguments` (program name first). On error or --help, returns
// nothing and sets `message` to what to print; `isError` tells which.
std::optional<SimOptions> parseSimOptions(const QStringList &arguments, QString &message,
                                          bool &isError);
