#include "util/crc32.hpp"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t entry = i;
        for (int round = 0; round < 8; ++round)
            entry = (entry & 1) ? (entry >> 1) ^ 0xEDB88320u : entry >> 1;
        table[i] = entry;
    }
    return table;
}

// The reflected table; feeding it bit-reversed input and reversing the result gives the
// non-reflected CRC without a second table.
constexpr std::array<uint32_t, 256> TABLE = makeTable();
static_assert(TABLE[1] == 0x77073096u);

} // namespace

uint8_t reflect8(uint8_t value) {
    uint8_t out = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (value & (1u << bit))
            out |= uint8_t(1u << (7 - bit));
    return out;
}

uint32_t reflect32(uint32_t value) {
    uint32_t out = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (value & (1u << bit))
            out |= 1u << (31 - bit);
    return out;
}

uint32_t crc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = TABLE[(crc ^ reflect8(data[i])) & 0xFF] ^ (crc >> 8);
    return reflect32(crc);
}

Result toBigEndian(uint32_t value) {
    return Result{{uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)}};
}
