#include "Realtime.h"

#include <algorithm>

QList<RealtimeStep> realtimeSteps(const RealtimeLimits &limits)
{
    using Way = RealtimeStep::Way;
    QList<RealtimeStep> steps;
    // Without an RLIMIT_RTPRIO only root or CAP_SYS_NICE may: the call
    // tells, at no cost.
    const int own = limits.rtprio > 0 ? std::min(limits.rtprio, preferredRealtimePriority)
                                      : preferredRealtimePriority;
    steps.append({Way::Scheduler, own, realtimeBurstUs});
    // rtkit refuses a priority above its maximum and a process whose
    // RLIMIT_RTTIME is unset or above its own ceiling.
    if (limits.rtkit && limits.rtkit->maxRealtimePriority > 0 && limits.rtkit->rttimeUSecMax > 0)
        steps.append({Way::Rtkit,
                      std::min(limits.rtkit->maxRealtimePriority, preferredRealtimePriority),
                      std::min(limits.rtkit->rttimeUSecMax, realtimeBurstUs)});
    if (limits.niceFloor < 0)
        steps.append({Way::Nice, std::max(limits.niceFloor, preferredNiceLevel), 0});
    if (limits.rtkit && limits.rtkit->minNiceLevel < 0)
        steps.append({Way::RtkitNice, std::max(limits.rtkit->minNiceLevel, preferredNiceLevel), 0});
    return steps;
}
