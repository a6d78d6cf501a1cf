#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <functional>

class QSocketNotifier;

// A bound UDP socket that stamps every datagram with the moment the kernel
// received it, on the monotonic clock. Stamping on read instead would add
// the process's own wake-up delay to every arrival and bias the benchmarks.
class UdpPort : public QObject
{
    Q_OBJECT

public:
    struct Datagram
    {
        QByteArray payload;
        QHostAddress sender;
        quint16 senderPort;
        qint64 receivedUs; // monotonic microseconds
    };

    explicit UdpPort(QObject *parent = nullptr);
    ~UdpPort() override;

    bool bind(const QHostAddress &address, quint16 port, QString &error);
    void close();
    bool send(const QByteArray &payload, const QHostAddress &to, quint16 port);
    // Called for each datagram as it is read.
    void onDatagram(std::function<void(const Datagram &)> handler)
    {
        m_handler = std::move(handler);
    }

    static qint64 monotonicMicroseconds();

private:
    void readPending();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::function<void(const Datagram &)> m_handler;
};
