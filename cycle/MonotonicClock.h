#pragma once

#include <chrono>
#include <functional>

// The one clock that cycle times and timer deadlines are kept on: steady,
// never set back, whatever the time of day does. Tests hand in one they
// control.
using MonotonicClock = std::function<std::chrono::nanoseconds()>;

inline std::chrono::nanoseconds steadyNow()
{
    return std::chrono::steady_clock::now().time_since_epoch();
}
