#include "ReplyParser.h"

#include "Protocol.h"

quint32 decodeRunTime(QByteArrayView timerReply)
{
    const auto byte = [&](qsizetype i) { return quint32(quint8(timerReply[i])); };
    return byte(1) | byte(2) << 8 | byte(3) << 16 | byte(4) << 24;
}

qsizetype consumeReplies(QByteArrayView buffer, const std::function<void(const Reply &)> &onReply)
{
    // Walk an offset rather than removing from the front each time: a large
    // datagram of junk would otherwise cost quadratic time.
    qsizetype pos = 0;
    while (pos < buffer.size()) {
        const QByteArrayView rest = buffer.sliced(pos);
        if (rest.front() == Protocol::timerTag) {
            if (rest.size() < Protocol::timerReplyLength)
                break;
            onReply({Reply::Kind::Timer, decodeRunTime(rest)});
            pos += Protocol::timerReplyLength;
        } else if (rest.front() == Protocol::countersTag) {
            if (rest.size() < Protocol::countersReplyLength)
                break;
            onReply({Reply::Kind::Counters});
            pos += Protocol::countersReplyLength;
        } else {
            ++pos;
        }
    }
    return pos;
}
