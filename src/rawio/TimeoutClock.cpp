#include "rawio/TimeoutClock.hpp"

#include <ctime>

long long TimeoutClock::nowMs() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return -1;
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

TimeoutClock::TimeoutClock() : startMs(nowMs()) {}

long long TimeoutClock::elapsed() const {
    if (startMs < 0)
        return -1;
    long long now = nowMs();
    if (now < 0)
        return -1;
    return now - startMs;
}

long long TimeoutClock::remaining(long long timeoutMs) const {
    long long spent = elapsed();
    if (spent < 0)
        return 0;
    long long left = timeoutMs - spent;
    return left < 0 ? 0 : left;
}
