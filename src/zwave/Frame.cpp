#include "zwave/Frame.hpp"

#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/StartByte.hpp"

#include <cstring>

uint8_t checksum(View bytes) {
    uint8_t sum = 0xFF;
    for (uint8_t b : bytes)
        sum ^= b;
    return sum;
}

Frame Frame::empty() {
    Frame frame;
    std::memset(frame.data, 0, sizeof frame.data);
    frame.size = 0;
    return frame;
}

Frame Frame::makeRequest(uint8_t functionId, TemporaryView payload) {
    Frame frame = empty();
    if (payload.size() > MAX_PAYLOAD)
        return frame;
    frame.data[0] = SOF;
    frame.data[1] = uint8_t(payload.size() + 3);
    frame.data[2] = REQUEST;
    frame.data[3] = functionId;
    if (!payload.empty())
        std::memcpy(frame.data + 4, payload.data(), payload.size());
    size_t end = payload.size() + 4;
    frame.data[end] = checksum(View(frame.data + 1, end - 1));
    frame.size = uint32_t(end + 1);
    return frame;
}

Frame readFrame(Chip& chip, int timeoutMs) {
    Frame frame = Frame::empty();
    TimeoutClock clock;
    if (timeoutMs == 0)
        return frame;
    for (;;) {
        uint8_t start = waitForStartByte(chip, clock, timeoutMs);
        if (start == 0)
            return frame;
        if (start != SOF) {
            frame.data[0] = start;
            frame.size = 1;
            return frame;
        }
        auto [length, got] = chip.readBuffer.readByte(chip.tty, int(clock.remaining(timeoutMs)));
        if (!got || length == 0) {
            // A start without a length is noise; look for the next start while time remains.
            if (clock.remaining(timeoutMs) == 0)
                return frame;
            continue;
        }
        Span body =
            chip.readBuffer.read(chip.tty, Span(frame.data + 2, length), int(clock.remaining(timeoutMs)));
        if (body.size() == length) {
            frame.data[0] = SOF;
            frame.data[1] = length;
            frame.size = uint32_t(length) + 2;
            return frame;
        }
        std::memset(frame.data, 0, sizeof frame.data);
        if (clock.remaining(timeoutMs) == 0)
            return frame;
    }
}
