#include "Simulator.h"

#include <QTimer>

namespace {

QByteArray timerReply(quint32 ms)
{
    QByteArray r(1, 'T');
    for (int i = 0; i < 4; ++i)
        r.append(char((ms >> (8 * i)) & 0xFF));
    return r;
}

QByteArray printable(const QByteArray &payload)
{
    for (const char c : payload)
        if (c < 0x21 || c > 0x7e || c == ',')
            return "hex:" + payload.left(32).toHex();
    return payload;
}

} // namespace

Simulator::Simulator(const SimOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_socket(new UdpPort(this))
    , m_rng(options.seed)
{
    m_socket->onDatagram([this](const UdpPort::Datagram &d) {
        if (!m_stopped)
            handle(d);
    });
}

Simulator::~Simulator()
{
    stop();
}

bool Simulator::start(QString &error)
{
    if (!m_options.logPath.isEmpty()) {
        m_log.setFileName(m_options.logPath);
        if (!m_log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            error
                = QStringLiteral("cannot write %1: %2").arg(m_options.logPath, m_log.errorString());
            return false;
        }
        m_log.write("t_us,dir,peer,size,what,timer_ms,completes\n");
        // Flushed now and then rather than per line, to keep the answer path short.
        auto *flush = new QTimer(this);
        connect(flush, &QTimer::timeout, this, [this] { m_log.flush(); });
        flush->start(100);
    }
    QString why;
    if (!m_socket->bind(m_options.address, m_options.port, why)) {
        error = QStringLiteral("cannot bind %1 port %2: %3")
                    .arg(m_options.address.toString())
                    .arg(m_options.port)
                    .arg(why);
        return false;
    }
    if (m_options.stopAfterSeconds > 0)
        QTimer::singleShot(qint64(m_options.stopAfterSeconds * 1000), this, &Simulator::stop);
    return true;
}

void Simulator::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_socket->close();
    if (m_log.isOpen())
        m_log.close();
    emit finished();
}

void Simulator::handle(const UdpPort::Datagram &datagram)
{
    const QByteArray &payload = datagram.payload;
    const Peer peer {datagram.sender, datagram.senderPort};
    log(datagram.receivedUs, "rx", peer, payload.size(), printable(payload));
    if (payload == "C1") {
        onCountersRequest(peer);
    } else if (payload == "T") {
        onTimerRequest(peer);
    } else if (payload == "XR") {
        if (m_options.stopAfterRuns > 0 && ++m_runs >= m_options.stopAfterRuns)
            QTimer::singleShot(0, this, &Simulator::stop);
    }
    // "X" and anything else: taken in silence.
}

void Simulator::onCountersRequest(const Peer &peer)
{
    ++m_cycles;
    // Decide this cycle's faults once, when it starts.
    m_glue = chance(m_options.glue);
    const bool reorder = chance(m_options.reorder);
    const bool drop = m_options.dropEvery > 0 && m_cycles % m_options.dropEvery == 0;
    // Alternate which reply a drop takes.
    m_dropTimer = drop && (m_cycles / m_options.dropEvery) % 2 == 1;
    const bool dropCounters = drop && !m_dropTimer;
    m_holdCounters = !dropCounters && (m_glue || reorder);

    QList<Outgoing> out;
    if (chance(m_options.junk))
        out.append(junkDatagram());
    if (!dropCounters && !m_holdCounters)
        out.append(maybeSplit(countersReply()));
    if (!out.isEmpty())
        dispatch(peer, out);
}

void Simulator::onTimerRequest(const Peer &peer)
{
    const quint32 ms
        = std::uniform_int_distribution<quint32>(m_options.runTimeMin, m_options.runTimeMax)(m_rng);
    const Outgoing timer {timerReply(ms), "timer", ms, 1};
    const Outgoing counters = countersReply();
    QList<Outgoing> out;
    if (m_holdCounters && m_glue) {
        out.append(maybeSplit({timer.bytes + counters.bytes, "glued", ms, 2}));
    } else if (m_holdCounters) {
        out.append(maybeSplit(timer));
        out.append(maybeSplit(counters));
    } else if (!m_dropTimer) {
        out.append(maybeSplit(timer));
    }
    m_holdCounters = m_glue = m_dropTimer = false;
    if (!out.isEmpty())
        dispatch(peer, out);
}

void Simulator::dispatch(const Peer &peer, QList<Outgoing> datagrams)
{
    const auto send = [this, peer, datagrams = std::move(datagrams)] {
        if (m_stopped)
            return;
        for (const Outgoing &d : datagrams) {
            // Stamped before the send: the peer may answer before the call returns.
            const qint64 at = UdpPort::monotonicMicroseconds();
            m_socket->send(d.bytes, peer.address, peer.port);
            log(at, "tx", peer, d.bytes.size(), d.what, d.timerMs, d.completes);
        }
    };
    if (m_options.delayMs > 0)
        QTimer::singleShot(m_options.delayMs, Qt::PreciseTimer, this, send);
    else
        send();
}

Simulator::Outgoing Simulator::countersReply()
{
    return {QByteArray(1, 'C') + QByteArray(1025, '\0'), "counters", -1, 1};
}

QList<Simulator::Outgoing> Simulator::maybeSplit(const Outgoing &reply)
{
    if (!chance(m_options.split))
        return {reply};
    // Two to four pieces at distinct cut points; the last piece completes the reply.
    const int pieces = std::uniform_int_distribution<int>(2, 4)(m_rng);
    QList<qsizetype> cuts;
    while (cuts.size() < pieces - 1) {
        const qsizetype cut
            = std::uniform_int_distribution<qsizetype>(1, reply.bytes.size() - 1)(m_rng);
        if (!cuts.contains(cut))
            cuts.append(cut);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.append(reply.bytes.size());
    QList<Outgoing> out;
    qsizetype from = 0;
    for (qsizetype i = 0; i < cuts.size(); ++i) {
        const bool last = i + 1 == cuts.size();
        out.append({reply.bytes.mid(from, cuts[i] - from),
                    reply.what + "-part" + QByteArray::number(i + 1), last ? reply.timerMs : -1,
                    last ? reply.completes : 0});
        from = cuts[i];
    }
    return out;
}

Simulator::Outgoing Simulator::junkDatagram()
{
    const int size = std::uniform_int_distribution<int>(1, 64)(m_rng);
    QByteArray bytes;
    std::uniform_int_distribution<int> byte(0, 255);
    while (bytes.size() < size) {
        const char c = char(byte(m_rng));
        if (c != 'T' && c != 'C') // junk must not be taken for a reply
            bytes.append(c);
    }
    return {bytes, "junk", -1, 0};
}

bool Simulator::chance(double p)
{
    return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < p;
}

void Simulator::log(qint64 atUs, const char *direction, const Peer &peer, qsizetype size,
                    const QByteArray &what, qint64 timerMs, int completes)
{
    if (!m_log.isOpen())
        return;
    m_log.write(QByteArray::number(atUs) + ',' + direction + ','
                + peer.address.toString().toLatin1() + ':' + QByteArray::number(peer.port) + ','
                + QByteArray::number(size) + ',' + what + ','
                + (timerMs >= 0 ? QByteArray::number(timerMs) : QByteArray()) + ','
                + QByteArray::number(completes) + '\n');
}
