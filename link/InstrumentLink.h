#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QUdpSocket;

// Where the link talks: the instrument's UDP port and our own bound port.
// The shipped program uses the protocol's fixed ports; tests substitute
// loopback ports of their own.
struct LinkPorts
{
    quint16 remotePort;
    QHostAddress localAddress = QHostAddress(QHostAddress::AnyIPv4);
    quint16 localPort;
};

// The program's one UDP socket to the instrument. It is bound once, sends one
// datagram per command, hands on every datagram from the instrument and drops
// everything else.
class InstrumentLink : public QObject
{
    Q_OBJECT

public:
    enum class BindResult { Bound, AddressInUse, Failed };

    explicit InstrumentLink(const LinkPorts &ports, QObject *parent = nullptr);

    // Accepts only a literal IPv4 address; returns false for anything else.
    bool setRemoteHost(const QString &address);
    // Binds the local port. Where the platform allows, the kernel then drops
    // datagrams from any address but the remote host's, so the host must be
    // set first.
    BindResult bind();
    // Sends one datagram. Refuses on an unbound link: a send would otherwise
    // bind the socket to some port of the system's choosing.
    bool send(const QByteArray &command);
    void close();
    // 0 when closed, as QAbstractSocket::SocketState counts.
    int state() const;
    QString errorString() const;

    quint16 localPort() const;

signals:
    // One datagram's payload, sent by the instrument's address.
    void dataArrival(const QByteArray &payload);

private:
    void drainPending();

    QUdpSocket *m_socket;
    LinkPorts m_ports;
    QHostAddress m_remoteHost;
    bool m_drainQueued = false;
};
