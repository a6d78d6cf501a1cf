#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <functional>

// What the front of the receive buffer turned out to be.
struct Reply
{
    enum class Kind { Timer, Counters };
    Kind kind;
    quint32 runTimeMs = 0; // timer replies only
};

// Consumes whole replies from the front of `buffer`, calling `onReply` for
// each in order. A front byte that starts neither reply is junk and is
// skipped on its own, so a reply behind it is still found. Stops at an
// incomplete reply, which stays for the next arrival to complete.
// Returns how many bytes from the front were consumed.
qsizetype consumeReplies(QByteArrayView buffer, const std::function<void(const Reply &)> &onReply);

// The run time carried by a timer reply's bytes 1..4 (little-endian).
quint32 decodeRunTime(QByteArrayView timerReply);
