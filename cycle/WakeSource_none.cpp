#include "WakeSource.h"

// No kernel timer of our own here: the interval timer uses Qt's.
WakeSource *createKernelWakeSource(QObject *)
{
    return nullptr;
}
