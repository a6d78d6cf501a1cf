// libFuzzer target: the reply consumer never crashes or hangs; the buffer
// shrinks only by whole replies or single junk bytes; every decoded run time
// is the little-endian reading of its bytes; and a stream split anywhere
// yields the same replies as in one piece.
#include "Protocol.h"
#include "ReplyParser.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

struct Found
{
    Reply::Kind kind;
    quint32 ms;
    bool operator==(const Found &) const = default;
};

// Consumes like the window does: append each piece, consume, drop the prefix.
std::vector<Found> consumeInPieces(QByteArrayView stream, qsizetype cut)
{
    std::vector<Found> found;
    QByteArray buffer;
    for (const QByteArrayView piece : {stream.first(cut), stream.sliced(cut)}) {
        buffer.append(piece);
        const qsizetype used = consumeReplies(buffer, [&](const Reply &r) {
            found.push_back({r.kind, r.runTimeMs});
        });
        buffer.remove(0, used);
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));

    std::vector<Found> whole;
    qsizetype pos = 0; // where the next byte to be consumed stands
    const qsizetype used = consumeReplies(input, [&](const Reply &r) {
        // Everything skipped since the last reply was junk, one byte at a time.
        while (pos < input.size() && input[pos] != Protocol::timerTag
               && input[pos] != Protocol::countersTag)
            ++pos;
        require(pos < input.size());
        if (r.kind == Reply::Kind::Timer) {
            require(input[pos] == Protocol::timerTag);
            require(pos + Protocol::timerReplyLength <= input.size());
            quint32 expected = 0;
            for (int i = 4; i >= 1; --i)
                expected = expected * 256 + quint8(input[pos + i]);
            require(r.runTimeMs == expected);
            pos += Protocol::timerReplyLength;
        } else {
            require(input[pos] == Protocol::countersTag);
            require(pos + Protocol::countersReplyLength <= input.size());
            pos += Protocol::countersReplyLength;
        }
        whole.push_back({r.kind, r.runTimeMs});
    });
    // After the last reply: only junk up to what stays, and what stays is
    // an incomplete reply.
    while (pos < used) {
        require(input[pos] != Protocol::timerTag && input[pos] != Protocol::countersTag);
        ++pos;
    }
    require(used <= input.size());
    if (used < input.size()) {
        const QByteArrayView rest = input.sliced(used);
        require(rest.front() == Protocol::timerTag || rest.front() == Protocol::countersTag);
        require(rest.size() < (rest.front() == Protocol::timerTag ? Protocol::timerReplyLength
                                                                  : Protocol::countersReplyLength));
    }

    if (size > 0)
        require(consumeInPieces(input, qsizetype(data[0]) * qsizetype(size) / 256) == whole);
    return 0;
}
