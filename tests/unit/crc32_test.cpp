#include "util/crc32.hpp"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// Most-significant-bit-first, one bit at a time: an independent statement of the same CRC.
uint32_t bitwiseMpeg2(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

uint32_t crcOf(std::vector<uint8_t> bytes) {
    return crc32(bytes.data(), bytes.size());
}

TEST(Crc32, CatalogueCheckValues) {
    EXPECT_EQ(crc32(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(crcOf({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x0376E6E7u);
    EXPECT_EQ(crcOf({'a', 'b', 'c'}), 0x9B73448Cu);
    EXPECT_EQ(crcOf({0x00}), 0x4E08BFB4u);
    EXPECT_EQ(crcOf({0xFF, 0xFF, 0xFF, 0xFF}), 0u);
}

TEST(Crc32, AgreesWithABitwiseImplementationOnRandomData) {
    std::mt19937 random(1234);
    for (size_t length : {1u, 7u, 64u, 1000u, 131068u}) {
        std::vector<uint8_t> bytes(length);
        for (auto& b : bytes)
            b = uint8_t(random());
        EXPECT_EQ(crc32(bytes.data(), length), bitwiseMpeg2(bytes.data(), length)) << length;
    }
}

TEST(Crc32, BigEndianLayoutAndReflection) {
    Result r = toBigEndian(0x0376E6E7u);
    EXPECT_EQ(r.bytes[0], 0x03);
    EXPECT_EQ(r.bytes[1], 0x76);
    EXPECT_EQ(r.bytes[2], 0xE6);
    EXPECT_EQ(r.bytes[3], 0xE7);
    EXPECT_EQ(reflect8(0x01), 0x80);
    EXPECT_EQ(reflect8(0x3C), 0x3C);
    EXPECT_EQ(reflect32(0x00000001u), 0x80000000u);
    EXPECT_EQ(reflect32(0x12345678u), 0x1E6A2C48u);
}

} // namespace
