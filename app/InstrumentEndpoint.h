#pragma once

#include "InstrumentLink.h"

#include <QString>

// Whom the window talks to and from which local port.
struct InstrumentEndpoint
{
    QString instrumentAddress;
    LinkPorts ports;
};

// The program's own endpoint: the instrument address fixed at build time and
// the protocol's ports. Only the program's entry point links this in.
InstrumentEndpoint shippedEndpoint();
