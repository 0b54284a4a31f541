#include "SerialFrame.hpp"

namespace emu {

uint8_t frameChecksum(const uint8_t* fromLength, size_t count) {
    uint8_t sum = 0xFF;
    for (size_t i = 0; i < count; ++i)
        sum ^= fromLength[i];
    return sum;
}

std::vector<uint8_t> buildFrame(uint8_t type, uint8_t functionId, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 5);
    frame.push_back(SOF);
    frame.push_back(uint8_t(payload.size() + 3));
    frame.push_back(type);
    frame.push_back(functionId);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(frameChecksum(frame.data() + 1, frame.size() - 1));
    return frame;
}

HostFrameParser::Result HostFrameParser::feed(uint8_t byte, Nanos now) {
    if (state != State::Idle && now - lastByte > FRAME_BYTE_TIMEOUT)
        state = State::Idle;
    lastByte = now;
    switch (state) {
    case State::Idle:
        switch (byte) {
        case SOF:
            bytes.assign(1, SOF);
            state = State::Length;
            return Result::Nothing;
        case ACK:
            return Result::Ack;
        case NAK:
            return Result::Nak;
        case CAN:
            return Result::Can;
        default:
            return Result::Noise;
        }
    case State::Length:
        // Shorter than TYPE FUNC CHECKSUM cannot be a frame: start looking for SOF again.
        if (byte < 3) {
            state = State::Idle;
            return Result::Noise;
        }
        bytes.push_back(byte);
        expected = size_t(byte) + 2;
        state = State::Body;
        return Result::Nothing;
    case State::Body:
        bytes.push_back(byte);
        if (bytes.size() < expected)
            return Result::Nothing;
        state = State::Idle;
        return frameChecksum(bytes.data() + 1, bytes.size() - 2) == bytes.back() ? Result::GoodFrame
                                                                                 : Result::BadFrame;
    }
    return Result::Nothing;
}

} // namespace emu
