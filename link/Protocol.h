#pragma once

#include <QByteArray>
#include <QtGlobal>

// The instrument's UDP protocol: four short ASCII commands out, two
// fixed-length binary replies back. Every command is one datagram holding
// exactly its characters, with no terminator.
namespace Protocol {

inline constexpr quint16 instrumentPort = 37829; // remote port
inline constexpr quint16 localPort = 37829; // our own bound port

inline const QByteArray reset = QByteArrayLiteral("X");
inline const QByteArray runExperiment = QByteArrayLiteral("XR");
inline const QByteArray requestCounters = QByteArrayLiteral("C1");
inline const QByteArray requestTimer = QByteArrayLiteral("T");

inline constexpr char timerTag = 'T';
inline constexpr char countersTag = 'C';
// 'T' then the run time in milliseconds, unsigned 32-bit little-endian.
inline constexpr qsizetype timerReplyLength = 5;
// 'C' then 1025 bytes of counter data that the tool ignores.
inline constexpr qsizetype countersReplyLength = 1026;

} // namespace Protocol
