#include "zwave/Frame.hpp"

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
