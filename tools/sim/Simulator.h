#pragma once

#include "SimOptions.h"
#include "UdpPort.h"

#include <QFile>
#include <QObject>

#include <random>

// The simulated instrument: answers requests with replies, optionally
// bent by faults, and logs every datagram in and out.
class Simulator : public QObject
{
    Q_OBJECT

public:
    explicit Simulator(const SimOptions &options, QObject *parent = nullptr);
    ~Simulator() override;

    bool start(QString &error);
    void stop();

signals:
    void finished();

private:
    struct Peer
    {
        QHostAddress address;
        quint16 port;
    };
    // What a datagram sent completes, for the log.
    struct Outgoing
    {
        QByteArray bytes;
        QByteArray what;
        qint64 timerMs = -1; // run time of the timer reply this datagram completes
        int completes = 0; // replies this datagram completes
    };

    void handle(const UdpPort::Datagram &datagram);
    void onCountersRequest(const Peer &peer);
    void onTimerRequest(const Peer &peer);
    // Sends now, or after the configured delay, keeping the order.
    void dispatch(const Peer &peer, QList<Outgoing> datagrams);
    QList<Outgoing> maybeSplit(const Outgoing &reply);
    static Outgoing countersReply();
    Outgoing junkDatagram();
    bool chance(double p);
    void log(qint64 atUs, const char *direction, const Peer &peer, qsizetype size,
             const QByteArray &what, qint64 timerMs = -1, int completes = 0);

    SimOptions m_options;
    UdpPort *m_socket;
    QFile m_log;
    std::mt19937 m_rng;
    qint64 m_cycles = 0; // counters requests seen
    qint64 m_runs = 0; // "XR" commands seen
    // Fault choices for the cycle under way.
    bool m_holdCounters = false;
    bool m_glue = false;
    bool m_dropTimer = false;
    bool m_stopped = false;
};
