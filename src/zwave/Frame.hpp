#pragma once
// One Serial API data frame or control byte as it travels on the tty, the request builder, the
// checksum and the reader that cuts the tty's byte stream into frames.
#include "util/View.hpp"

#include <cstdint>

class Chip;

constexpr uint8_t SOF = 0x01;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

constexpr uint8_t REQUEST = 0x00;
constexpr uint8_t RESPONSE = 0x01;

// 0xFF XOR every byte, in order.
uint8_t checksum(View bytes);

struct Frame {
    static constexpr size_t CAPACITY = 258;
    static constexpr size_t MAX_PAYLOAD = 252;

    // size 0: nothing arrived; 1: a control byte in data[0]; 3 or more: SOF, LEN = size - 2, ...
    uint8_t data[CAPACITY];
    uint32_t size;

    // A zeroed request for `functionId` with its checksum; the empty frame when the payload does
    // not fit the one-byte length.
    static Frame makeRequest(uint8_t functionId, TemporaryView payload);
    static Frame empty();

    View bytes() const { return View(data, size); }
    bool isEmpty() const { return size == 0; }
    bool isDataFrame() const { return size >= 3 && data[0] == SOF; }
    uint8_t frameType() const { return data[2]; }
    uint8_t functionId() const { return data[3]; }
    // From the function id up to, not including, the checksum.
    View body() const { return size > 4 ? View(data + 3, size - 4) : View(); }
    // SOF and checksum included, all bytes XOR 0xFF give SOF on an intact frame.
    bool hasGoodChecksum() const { return checksum(bytes()) == SOF; }
};

// The next frame or control byte within `timeoutMs` all told; the empty frame when none came.
// Checksums are not judged here.
Frame readFrame(Chip& chip, int timeoutMs);
