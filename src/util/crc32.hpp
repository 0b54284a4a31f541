#pragma once
// CRC-32/MPEG-2 of the flash image, as the module's own CRC check computes it.
#include <cstddef>
#include <cstdint>

uint8_t reflect8(uint8_t value);
uint32_t reflect32(uint32_t value);

// CRC-32/MPEG-2: polynomial 0x04C11DB7, initial 0xFFFFFFFF, not reflected, no final XOR.
uint32_t crc32(const uint8_t* data, size_t length);

struct Result {
    uint8_t bytes[4];
};

// The value most significant byte first, as the image stores it.
Result toBigEndian(uint32_t value);
