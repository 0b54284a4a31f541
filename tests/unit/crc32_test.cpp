// CRC-32/MPEG-2 against published check values and a bitwise statement of the same CRC, and the
// byte order the image stores it in.
#include "util/crc32.hpp"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// Most-significant-bit-first, one bit at a time.
uint32_t bitwiseMpeg2(const std::vector<uint8_t>& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : bytes) {
        crc ^= uint32_t(byte) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

uint32_t crcOf(const std::vector<uint8_t>& bytes) {
    return crc32(bytes.data(), bytes.size());
}

TEST(Crc32, CheckValuesAndABitwiseImplementation) {
    EXPECT_EQ(crc32(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(crcOf({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x0376E6E7u);
    EXPECT_EQ(crcOf({'a', 'b', 'c'}), 0x9B73448Cu);
    EXPECT_EQ(crcOf({0x00}), 0x4E08BFB4u);
    EXPECT_EQ(crcOf({0xFF, 0xFF, 0xFF, 0xFF}), 0u);
    std::mt19937 random(1234);
    for (size_t length : {1u, 7u, 64u, 1000u, 131068u}) {
        std::vector<uint8_t> bytes(length);
        for (uint8_t& b : bytes)
            b = uint8_t(random());
        EXPECT_EQ(crcOf(bytes), bitwiseMpeg2(bytes)) << length;
    }
    Result stored = toBigEndian(0x0376E6E7u);
    EXPECT_EQ(std::vector<uint8_t>(stored.bytes, stored.bytes + 4),
              (std::vector<uint8_t>{0x03, 0x76, 0xE6, 0xE7}));
}

} // namespace
