#include "SimOptions.h"

#include <QCommandLineParser>

namespace {

bool readProbability(const QString &text, double &out)
{
    bool ok = false;
    out = text.toDouble(&ok);
    return ok && out >= 0 && out <= 1;
}

bool readRunTime(const QString &text, quint32 &min, quint32 &max)
{
    const QStringList parts = text.split(u'-');
    bool okMin = false, okMax = true;
    min = parts.value(0).toUInt(&okMin);
    max = parts.size() == 2 ? parts[1].toUInt(&okMax) : min;
    return parts.size() <= 2 && okMin && okMax && min <= max;
}

} // namespace

std::optional<SimOptions> parseSimOptions(const QStringList &arguments, QString &message,
                                          bool &isError)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A stand-in for the counter instrument: answers \"T\" with a timer reply and "
        "\"C1\" with a counters reply, takes \"X\" and \"XR\" in silence, and can inject "
        "faults. Answers go only to the sender of each request.");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption address("address", "Address to bind (default 127.0.0.1).", "ip",
                                     "127.0.0.1");
    const QCommandLineOption port("port", "UDP port to bind (default 37829).", "port", "37829");
    const QCommandLineOption runTime("run-time",
                                     "Run time to report in ms: a value, or MIN-MAX drawn "
                                     "per run (default 10).",
                                     "ms", "10");
    const QCommandLineOption delay("delay", "Delay before each answer, in ms (default 0).", "ms",
                                   "0");
    // The fault probabilities share one shape: a value from 0 to 1 per cycle.
    struct Fault
    {
        QCommandLineOption option;
        double SimOptions::*field;
    };
    const Fault faults[] = {
        {{"split", "Probability of splitting a reply over several datagrams.", "p", "0"},
         &SimOptions::split},
        {{"glue", "Probability of sending both replies in one datagram.", "p", "0"},
         &SimOptions::glue},
        {{"reorder", "Probability of answering timer first.", "p", "0"}, &SimOptions::reorder},
        {{"junk",
          "Probability of a junk datagram before the replies (never starting with 'T' or 'C').",
          "p", "0"},
         &SimOptions::junk},
    };
    const QCommandLineOption dropEvery("drop-every", "Drop one reply in every N-th cycle.", "n",
                                       "0");
    const QCommandLineOption seed("seed", "Seed for the fault and run-time draws.", "n", "1");
    const QCommandLineOption log("log",
                                 "Write every datagram received and sent to this CSV "
                                 "file, with monotonic microseconds.",
                                 "file");
    const QCommandLineOption count("count", "Stop after this many \"XR\" commands.", "n", "0");
    const QCommandLineOption seconds("seconds", "Stop after this many seconds.", "s", "0");
    parser.addOptions({help, address, port, runTime, delay, dropEvery, seed, log, count, seconds});
    for (const Fault &fault : faults)
        parser.addOption(fault.option);

    isError = true;
    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(help)) {
        isError = false;
        message = parser.helpText();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments()[0]);
        return std::nullopt;
    }

    SimOptions o;
    bool ok = true;
    const auto fail = [&](const QString &what) {
        message = QStringLiteral("invalid --%1").arg(what);
        return std::nullopt;
    };
    if (!o.address.setAddress(parser.value(address)))
        return fail("address");
    const uint portValue = parser.value(port).toUInt(&ok);
    if (!ok || portValue == 0 || portValue > 65535)
        return fail("port");
    o.port = quint16(portValue);
    if (!readRunTime(parser.value(runTime), o.runTimeMin, o.runTimeMax))
        return fail("run-time");
    o.delayMs = parser.value(delay).toInt(&ok);
    if (!ok || o.delayMs < 0)
        return fail("delay");
    for (const Fault &fault : faults) {
        if (!readProbability(parser.value(fault.option), o.*fault.field))
            return fail(fault.option.names().constFirst());
    }
    o.dropEvery = parser.value(dropEvery).toInt(&ok);
    if (!ok || o.dropEvery < 0)
        return fail("drop-every");
    o.seed = parser.value(seed).toUInt(&ok);
    if (!ok)
        return fail("seed");
    o.logPath = parser.value(log);
    o.stopAfterRuns = parser.value(count).toLongLong(&ok);
    if (!ok || o.stopAfterRuns < 0)
        return fail("count");
    o.stopAfterSeconds = parser.value(seconds).toDouble(&ok);
    if (!ok || o.stopAfterSeconds < 0)
        return fail("seconds");
    isError = false;
    return o;
}
