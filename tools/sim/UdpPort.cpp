#include "UdpPort.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 toUs(const timespec &t)
{
    return qint64(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

} // namespace

UdpPort::UdpPort(QObject *parent)
    : QObject(parent)
{ }

UdpPort::~UdpPort()
{
    close();
}

qint64 UdpPort::monotonicMicroseconds()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return toUs(now);
}

bool UdpPort::bind(const QHostAddress &address, quint16 port, QString &error)
{
    bool isV4 = false;
    const quint32 ip = address.toIPv4Address(&isV4);
    if (!isV4) {
        error = QStringLiteral("%1 is not an IPv4 address").arg(address.toString());
        return false;
    }
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(ip);
    if (m_fd < 0 || ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
        || ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        close();
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdpPort::readPending);
    return true;
}

void UdpPort::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool UdpPort::send(const QByteArray &payload, const QHostAddress &to, quint16 port)
{
    if (m_fd < 0)
        return false;
    sockaddr_in peer {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(to.toIPv4Address());
    return ::sendto(m_fd, payload.constData(), size_t(payload.size()), 0,
                    reinterpret_cast<sockaddr *>(&peer), sizeof peer)
        == payload.size();
}

void UdpPort::readPending()
{
    char buffer[65536];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    while (m_fd >= 0) {
        sockaddr_in from {};
        iovec io {buffer, sizeof buffer};
        msghdr message {};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(m_fd, &message, 0);
        if (n < 0)
            return; // drained (EAGAIN) or failed; the notifier calls again
        // The kernel's stamp is on the real-time clock; move it to the
        // monotonic one through their difference now, a moment later.
        timespec realNow {}, monoNow {};
        ::clock_gettime(CLOCK_REALTIME, &realNow);
        ::clock_gettime(CLOCK_MONOTONIC, &monoNow);
        qint64 receivedUs = toUs(monoNow);
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp {};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                receivedUs = toUs(stamp) - (toUs(realNow) - toUs(monoNow));
            }
        }
        if (m_handler)
            m_handler({QByteArray(buffer, qsizetype(n)), QHostAddress(ntohl(from.sin_addr.s_addr)),
                       ntohs(from.sin_port), receivedUs});
    }
}
