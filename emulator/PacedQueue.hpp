#pragma once
// Bytes on a serial wire: each byte is due one character time (10 bits at the baud rate, 8N1)
// after the previous one or after it was put on the wire, whichever is later. With baud 0 every
// byte is due at once. Used for both directions: the host's bytes are handed to the module only
// when they would have arrived, and the module's bytes reach the pty when they would have left.
#include "Clock.hpp"

#include <cstdint>
#include <deque>

namespace emu {

class PacedQueue {
public:
    explicit PacedQueue(unsigned baud = 0) : byteTime(baud == 0 ? 0 : 10'000'000'000LL / baud) {}

    // Puts bytes on the wire no earlier than `earliest`; returns when the last one is due.
    Nanos push(const uint8_t* bytes, size_t size, Nanos earliest);
    Nanos nextDue() const { return queue.empty() ? NEVER : queue.front().due; }
    bool empty() const { return queue.empty(); }
    // Takes up to `capacity` bytes due at `now`.
    size_t takeDue(Nanos now, uint8_t* into, size_t capacity);
    uint8_t front() const { return queue.front().byte; }
    Nanos frontDue() const { return queue.front().due; }
    void pop() { queue.pop_front(); }
    // Bytes not yet written back to the front (the pty took only part of them).
    void unget(const uint8_t* bytes, size_t size, Nanos due);
    void clear() {
        queue.clear();
        lastDue = 0;
    }
    Nanos characterTime() const { return byteTime; }

private:
    struct Entry {
        uint8_t byte;
        Nanos due;
    };
    Nanos byteTime;
    Nanos lastDue = 0;
    std::deque<Entry> queue;
};

} // namespace emu
