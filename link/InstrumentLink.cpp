#include "InstrumentLink.h"

#include "SourceFilter.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QUdpSocket>
#include <QVariant>

namespace {
// Datagrams handled per pass before yielding to the event loop, so a flood
// on the port cannot starve the window or the timers.
constexpr int maxDatagramsPerPass = 64;
// Room for many cycles of replies while the window is busy elsewhere. The
// kernel may grant less (net.core.rmem_max), which is no failure.
constexpr int receiveBufferBytes = 1 << 20;
} // namespace

InstrumentLink::InstrumentLink(const LinkPorts &ports, QObject *parent)
    : QObject(parent)
    , m_socket(new QUdpSocket(this))
    , m_ports(ports)
{
    // The instrument is on the local network: its datagrams never go through
    // a proxy, and the system's proxy settings are not even asked for (where
    // Qt asks libproxy, that waits on the system bus, with no end if the bus
    // never answers).
    m_socket->setProxy(QNetworkProxy::NoProxy);
    // readyRead comes once for however many datagrams are waiting.
    connect(m_socket, &QUdpSocket::readyRead, this, &InstrumentLink::drainPending);
}

bool InstrumentLink::setRemoteHost(const QString &address)
{
    QHostAddress host;
    if (!host.setAddress(address) || host.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    m_remoteHost = host;
    return true;
}

InstrumentLink::BindResult InstrumentLink::bind()
{
    // No address sharing: a second copy of the program must be refused.
    if (m_socket->bind(m_ports.localAddress, m_ports.localPort,
                       QAbstractSocket::DontShareAddress)) {
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                  QVariant(receiveBufferBytes));
        // Foreign datagrams are best dropped before they take queue space;
        // where the kernel cannot, drainPending() still drops them.
        attachSourceFilter(m_socket->socketDescriptor(), m_remoteHost);
        return BindResult::Bound;
    }
    return m_socket->error() == QAbstractSocket::AddressInUseError ? BindResult::AddressInUse
                                                                   : BindResult::Failed;
}

bool InstrumentLink::send(const QByteArray &command)
{
    if (m_socket->state() != QAbstractSocket::BoundState || m_remoteHost.isNull())
        return false;
    return m_socket->writeDatagram(command, m_remoteHost, m_ports.remotePort) == command.size();
}

void InstrumentLink::close()
{
    m_socket->close();
}

int InstrumentLink::state() const
{
    return int(m_socket->state());
}

QString InstrumentLink::errorString() const
{
    return m_socket->errorString();
}

quint16 InstrumentLink::localPort() const
{
    return m_socket->localPort();
}

void InstrumentLink::drainPending()
{
    m_drainQueued = false;
    for (int n = 0; n < maxDatagramsPerPass; ++n) {
        if (m_socket->state() != QAbstractSocket::BoundState || !m_socket->hasPendingDatagrams())
            return;
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        if (!datagram.isValid())
            return;
        // Only the instrument may write figures into the window.
        if (!datagram.senderAddress().isEqual(m_remoteHost, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        emit dataArrival(datagram.data());
    }
    if (!m_drainQueued && m_socket->hasPendingDatagrams()) {
        m_drainQueued = true;
        QMetaObject::invokeMethod(this, &InstrumentLink::drainPending, Qt::QueuedConnection);
    }
}
