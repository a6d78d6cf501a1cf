#pragma once

#include "InstrumentEndpoint.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

// A stand-in instrument for tests: a UDP socket on 127.0.0.1 that records
// every datagram with the time it arrived, and can answer the window.
class LoopbackInstrument
{
public:
    struct Received
    {
        QByteArray data;
        quint16 senderPort;
        qint64 atMs;
    };

    LoopbackInstrument()
    {
        // A test without its peer is meaningless, and a constructor cannot QVERIFY.
        if (!socket.bind(QHostAddress::LocalHost, 0))
            qFatal("cannot bind the loopback instrument");
        clock.start();
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = socket.receiveDatagram();
                received.append({d.data(), quint16(d.senderPort()), clock.elapsed()});
            }
        });
    }

    // A window endpoint that talks only to this socket, from an ephemeral
    // loopback port (or `localPort` when a test needs a fixed one).
    InstrumentEndpoint endpoint(quint16 localPort = 0) const
    {
        return {QStringLiteral("127.0.0.1"),
                {socket.localPort(), QHostAddress(QHostAddress::LocalHost), localPort}};
    }

    bool waitFor(qsizetype count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return received.size() >= count; }, timeoutMs);
    }

    void sendTo(quint16 port, const QByteArray &payload)
    {
        socket.writeDatagram(payload, QHostAddress::LocalHost, port);
    }

    QList<QByteArray> payloads() const
    {
        QList<QByteArray> out;
        for (const Received &r : received)
            out.append(r.data);
        return out;
    }

    QUdpSocket socket;
    QElapsedTimer clock;
    QList<Received> received;
};

// For windows a test never loads: their link stays unbound and sends nothing,
// and the address is loopback's discard port should that ever change.
inline InstrumentEndpoint offlineEndpoint()
{
    return {QStringLiteral("127.0.0.1"), {9, QHostAddress(QHostAddress::LocalHost), 0}};
}

inline QByteArray timerReply(quint32 ms)
{
    QByteArray r("T");
    for (int i = 0; i < 4; ++i)
        r.append(char((ms >> (8 * i)) & 0xFF));
    return r;
}

inline QByteArray countersReply(char fill = '\0')
{
    return QByteArray("C") + QByteArray(1025, fill);
}

// Wine's sockets differ from Windows' in ways a few tests run into: a UDP
// socket bound to one address sends from another, and binding an address
// the machine does not have succeeds. Those cases skip under Wine.
inline bool runningUnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}
