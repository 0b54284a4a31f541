#pragma once
// Intel HEX firmware files turned into the exact image of the module's 128 KiB flash: 0xFF where
// no record writes, the CRC-32/MPEG-2 of everything else in the last four bytes.
#include "util/View.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr size_t HEX_IMAGE_SIZE = 131072;

// The HEX_IMAGE_SIZE-byte image, or an empty vector after a printed message.
std::vector<uint8_t> readHexFile(const char* path);

// Byte number n of a record line (the pair at characters 2n+1 and 2n+2); false after a message.
bool parseHexByte(StringView line, unsigned n, uint8_t& out);
