#pragma once
// Content the emulator makes up: firmware images, a populated static-controller NVM and an NVR page.
#include "FirmwareIdentity.hpp"

#include <cstdint>
#include <vector>

namespace emu {

constexpr size_t DEFAULT_CODE_SIZE = 115000;
constexpr size_t NVR_SIZE = 256;

// A 131072-byte flash image: `codeSize` bytes of filler code from address 0 (so that flashing it
// costs realistic traffic), the identity record at IDENTITY_ADDRESS, 0xFF elsewhere, and the CRC in
// the last four bytes. `codeSize` is clipped to the space below the identity record.
std::vector<uint8_t> makeFirmwareImage(const FirmwareIdentity& identity, size_t codeSize = DEFAULT_CODE_SIZE);

// A static controller's NVM holding a network: `size` bytes; bytes 0-1 hold L, the offset of the
// last content byte, bytes 2-3 a second length P (P <= L), both big-endian; controller data up to
// offset L, zeros after it.
struct PopulatedNvmShape {
    uint32_t size = 16384;
    uint16_t lastContentOffset = 12300; // L
    uint16_t secondLength = 10100;      // P
    uint32_t seed = 0x5EED0001;
};
std::vector<uint8_t> populatedStaticNvm(const PopulatedNvmShape& shape = {});

// A plausible factory NVR page.
std::vector<uint8_t> defaultNvr(uint32_t seed = 0x00C0FFEE);

} // namespace emu
