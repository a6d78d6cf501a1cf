#pragma once

#include <QList>

#include <optional>

// The program's one thread waits out every interval and answers every
// reply; on a busy desktop it must not queue behind other programs. Once
// start-up has succeeded it asks for real-time scheduling, by the first way
// that works, and goes on as before where none does.

// What this process may ask for, as the system tells it.
struct RealtimeLimits
{
    int rtprio = 0; // RLIMIT_RTPRIO: the highest real-time priority it may set itself
    int niceFloor = 0; // the lowest nice level it may set itself (from RLIMIT_NICE)
    struct Rtkit
    {
        int maxRealtimePriority;
        int minNiceLevel;
        qint64 rttimeUSecMax;
    };
    std::optional<Rtkit> rtkit; // where rtkit answers on the system bus
};

// One way of raising the thread, with what to ask for.
struct RealtimeStep
{
    enum class Way { Scheduler, Rtkit, Nice, RtkitNice };
    Way way;
    int level; // real-time priority, or nice level
    qint64 rttimeUs; // the RLIMIT_RTTIME hard limit to set first (real-time ways)

    bool operator==(const RealtimeStep &) const = default;
};

// Round-robin at 10, as rtkit grants and JACK uses: above every desktop
// program and below audio servers and the kernel's interrupt threads (50).
constexpr int preferredRealtimePriority = 10;
// As high as PulseAudio's nice level, where real-time is refused.
constexpr int preferredNiceLevel = -11;
// A burst of real-time work longer than this without sleeping is a fault;
// at half of it the thread goes back to normal scheduling.
constexpr qint64 realtimeBurstUs = 200'000;

// The ways to try, in order: real-time by the process itself (root,
// CAP_SYS_NICE, or an RLIMIT_RTPRIO), through rtkit, then a raised nice
// level by itself or through rtkit.
QList<RealtimeStep> realtimeSteps(const RealtimeLimits &limits);

class QThread;
// Raises the calling thread by the first step that works. Never waits on
// the system bus: what needs it is asked from a short-lived thread, which
// changes nothing but the scheduling of the calling thread. Returns that
// thread while it asks (it deletes itself when done), else null.
QThread *raiseThreadPriority();
