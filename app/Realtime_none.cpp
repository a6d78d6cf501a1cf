#include "Realtime.h"

// No way of raising a thread is known here: it runs as it was started.
QThread *raiseThreadPriority()
{
    return nullptr;
}
