#pragma once
// Time in the emulator: CLOCK_MONOTONIC nanoseconds, the same clock the trace stamps use.
#include <cstdint>
#include <ctime>

namespace emu {

using Nanos = int64_t;

constexpr Nanos NEVER = INT64_MAX;
constexpr Nanos MILLISECOND = 1000000;

inline Nanos monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return Nanos(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline Nanos millis(int64_t ms) {
    return ms * MILLISECOND;
}

} // namespace emu
