#pragma once
// Serial API framing on the module's side: the parser for what the host sends and the builder for
// the module's own frames. Frame: SOF LEN TYPE FUNC payload CHECKSUM, where LEN counts the bytes
// after it and CHECKSUM is 0xFF XOR every byte from LEN through the payload.
#include "Clock.hpp"

#include <cstdint>
#include <vector>

namespace emu {

constexpr uint8_t SOF = 0x01;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t REQUEST = 0x00;
constexpr uint8_t RESPONSE = 0x01;

// A host frame that stops arriving for this long is dropped, as the firmware's receive timeout does.
constexpr Nanos FRAME_BYTE_TIMEOUT = 1500 * MILLISECOND;

uint8_t frameChecksum(const uint8_t* fromLength, size_t count);
std::vector<uint8_t> buildFrame(uint8_t type, uint8_t functionId, const std::vector<uint8_t>& payload);

class HostFrameParser {
public:
    enum class Result { Nothing, Ack, Nak, Can, GoodFrame, BadFrame, Noise };

    // Takes one byte from the host. A frame result leaves the frame in `frame()`.
    Result feed(uint8_t byte, Nanos now);
    const std::vector<uint8_t>& frame() const { return bytes; }
    void reset() { state = State::Idle; }

private:
    enum class State { Idle, Length, Body };
    State state = State::Idle;
    std::vector<uint8_t> bytes;
    size_t expected = 0;
    Nanos lastByte = 0;
};

} // namespace emu
