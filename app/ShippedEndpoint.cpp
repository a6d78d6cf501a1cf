#include "InstrumentEndpoint.h"
#include "Protocol.h"
#include "instrument_address.h"

InstrumentEndpoint shippedEndpoint()
{
    return {QStringLiteral(VANTREL_INSTRUMENT_ADDRESS),
            {Protocol::instrumentPort, QHostAddress(QHostAddress::AnyIPv4), Protocol::localPort}};
}
