#include "Realtime.h"

#include <windows.h>

// An ordinary user's process may raise its own threads within its priority
// class: time-critical is the top of the normal class (15), above every
// desktop program's threads and below the real-time class the system's own
// work runs in. MMCSS would lift the thread into that class while
// throttling it at a share the system sets, which suits periodic media
// work rather than one short wait a cycle.
QThread *raiseThreadPriority()
{
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    return nullptr;
}
