#pragma once
// A monotonic start stamp and the milliseconds left of a timeout counted from it.
class TimeoutClock {
public:
    TimeoutClock();
    bool valid() const { return startMs >= 0; }
    // Milliseconds since the stamp, or -1 when the clock cannot be read.
    long long elapsed() const;
    // Never negative: 0 once the timeout has passed or when the clock fails.
    long long remaining(long long timeoutMs) const;

    static long long nowMs();

private:
    long long startMs;
};
