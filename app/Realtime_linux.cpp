#include "Realtime.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QThread>

#include <atomic>
#include <csignal>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The thread that was raised, for the signal handler below, which can be
// handed nothing else.
std::atomic<pid_t> raisedThread {0};

// Normal scheduling, and threads the process starts later, and any
// process, begin at normal priority again.
bool resetOnFork(pid_t tid)
{
    const sched_param normal {};
    return ::sched_setscheduler(tid, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) == 0;
}

// RLIMIT_RTTIME's soft limit: the thread ran for half the burst it may
// without sleeping. It goes back to normal scheduling and goes on
// measuring; the hard limit, which would kill it, is never reached.
void backToNormal(int)
{
    resetOnFork(raisedThread.load());
}

bool limitBursts(qint64 hardUs)
{
    struct sigaction action
    {
    };
    action.sa_handler = backToNormal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    const rlimit limit {rlim_t(hardUs / 2), rlim_t(hardUs)};
    return ::sigaction(SIGXCPU, &action, nullptr) == 0 && ::setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

RealtimeLimits ownLimits()
{
    RealtimeLimits limits;
    rlimit limit {};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0)
        limits.rtprio = int(std::min<rlim_t>(limit.rlim_cur, 99));
    if (::geteuid() == 0)
        limits.niceFloor = -20;
    else if (::getrlimit(RLIMIT_NICE, &limit) == 0)
        limits.niceFloor = 20 - int(std::min<rlim_t>(limit.rlim_cur, 40));
    return limits;
}

// Whether the system bus answers at all. One that takes connections and never
// replies would hold Qt's D-Bus thread for as long as libdbus waits (25 s),
// and with it every other user of D-Bus in the program, the window's own
// (accessibility, the desktop's theme) among them. So it is asked first,
// briefly, in the way every client begins.
bool systemBusAnswers()
{
    QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty())
        address = "unix:path=/var/run/dbus/system_bus_socket";
    address = address.left(address.indexOf(';'));
    if (!address.startsWith("unix:"))
        return true; // another transport: left to libdbus
    QByteArray path;
    for (const QByteArray &pair : address.mid(5).split(','))
        if (pair.startsWith("path="))
            path = pair.mid(5);
    sockaddr_un bus {};
    bus.sun_family = AF_UNIX;
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof bus.sun_path)
        return path.isEmpty(); // an abstract socket, say: left to libdbus
    std::copy(path.begin(), path.end(), bus.sun_path);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const QByteArray hello
        = QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(::getuid()).toHex() + "\r\n";
    char reply[64] {};
    pollfd answer {fd, POLLIN, 0};
    const bool answered = ::connect(fd, reinterpret_cast<const sockaddr *>(&bus), sizeof bus) == 0
        && ::write(fd, hello.constData(), std::size_t(hello.size())) == hello.size()
        && ::poll(&answer, 1, 1000) == 1 && ::read(fd, reply, sizeof reply - 1) > 3
        && QByteArray(reply).startsWith("OK ");
    ::close(fd);
    return answered;
}

const QString rtkitService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString rtkitPath = QStringLiteral("/org/freedesktop/RealtimeKit1");
// A busy rtkit asks polkit before it answers.
constexpr int busTimeoutMs = 5000;

QDBusMessage callRtkit(QDBusConnection &bus, const QString &interface, const QString &method,
                       const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(rtkitService, rtkitPath, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, busTimeoutMs);
}

std::optional<RealtimeLimits::Rtkit> rtkitLimits(QDBusConnection &bus)
{
    bool ok = true;
    const auto property = [&](const char *name) {
        const QDBusMessage reply
            = callRtkit(bus, QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("Get"), {rtkitService, QString::fromLatin1(name)});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            ok = false;
            return qint64(0);
        }
        return reply.arguments().first().value<QDBusVariant>().variant().toLongLong();
    };
    const RealtimeLimits::Rtkit rtkit {int(property("MaxRealtimePriority")),
                                       int(property("MinNiceLevel")), property("RTTimeUSecMax")};
    return ok ? std::optional(rtkit) : std::nullopt;
}

bool take(const RealtimeStep &step, pid_t tid, QDBusConnection *bus)
{
    const auto rtkit = [&](const char *method, const QVariant &level) {
        return bus
            && callRtkit(*bus, rtkitService, QString::fromLatin1(method), {qulonglong(tid), level})
                   .type()
            == QDBusMessage::ReplyMessage;
    };
    sched_param param {};
    switch (step.way) {
    case RealtimeStep::Way::Scheduler:
        param.sched_priority = step.level;
        return limitBursts(step.rttimeUs)
            && ::sched_setscheduler(tid, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0;
    case RealtimeStep::Way::Rtkit:
        // rtkit grants round-robin, reset on fork.
        return limitBursts(step.rttimeUs) && rtkit("MakeThreadRealtime", quint32(step.level));
    case RealtimeStep::Way::Nice:
        return resetOnFork(tid) && ::setpriority(PRIO_PROCESS, id_t(tid), step.level) == 0;
    case RealtimeStep::Way::RtkitNice:
        // rtkit sets the policy again, without the reset on fork.
        return rtkit("MakeThreadHighPriority", qint32(step.level)) && resetOnFork(tid);
    }
    return false;
}

} // namespace

QThread *raiseThreadPriority()
{
    const pid_t tid = pid_t(::syscall(SYS_gettid));
    raisedThread = tid;
    RealtimeLimits limits = ownLimits();
    // Real-time by the process itself needs no bus.
    if (take(realtimeSteps(limits).first(), tid, nullptr))
        return nullptr;

    // Connecting to the system bus blocks, for as long as a hung bus keeps
    // it waiting; the thread measuring must never wait on it.
    QThread *asker = QThread::create([tid, limits]() mutable {
        const QString name = QStringLiteral("vantrel-realtime");
        std::optional<QDBusConnection> bus;
        if (systemBusAnswers()) {
            bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
            if (bus->isConnected())
                limits.rtkit = rtkitLimits(*bus);
        }
        for (const RealtimeStep &step : realtimeSteps(limits)) {
            if (step.way != RealtimeStep::Way::Scheduler
                && take(step, tid, bus && bus->isConnected() ? &*bus : nullptr))
                break;
        }
        bus.reset();
        QDBusConnection::disconnectFromBus(name);
    });
    QObject::connect(asker, &QThread::finished, asker, &QObject::deleteLater);
    asker->start();
    return asker;
}
