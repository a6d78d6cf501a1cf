#pragma once

#include <QHostAddress>
#include <QtGlobal>

// Has the kernel drop every datagram on the UDP socket `descriptor` whose
// IPv4 source address is not `source`, before it takes space in the socket's
// receive queue. Without this, any host that floods the port fills the queue
// and the instrument's replies are lost with it. The source port is not
// checked. Returns false where this cannot be done (not Linux, not IPv4, or
// the kernel refused); the caller's own check of the sender still holds.
bool attachSourceFilter(qintptr descriptor, const QHostAddress &source);
