#pragma once
// Intel HEX text for emulator firmware images: the writer behind `make-firmware` and the reader
// behind `init --firmware`.
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// Data records of `recordSize` bytes (16 or 32) for every run of non-0xFF bytes, grouped by
// extended linear address records above 64 KiB, and an end-of-file record.
std::string writeIntelHex(const std::vector<uint8_t>& image, unsigned recordSize = 32);

// Fills `image` (resized to `size`, 0xFF where no record writes) from HEX text. Checks every record
// checksum. Returns false with `error` set on the first bad line.
bool readIntelHex(const std::string& text, size_t size, std::vector<uint8_t>& image, std::string& error);

} // namespace emu
