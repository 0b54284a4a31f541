#include "zwave/BridgeMigration.hpp"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A static controller image of `size` random bytes with L and P in its header.
Bytes sourceImage(size_t size, unsigned last, unsigned second) {
    std::mt19937 random(size ^ last ^ (second << 8));
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        b = uint8_t(random());
    bytes[0] = uint8_t(last >> 8), bytes[1] = uint8_t(last);
    bytes[2] = uint8_t(second >> 8), bytes[3] = uint8_t(second);
    return bytes;
}

unsigned field(View bytes, size_t offset) {
    return unsigned(bytes[offset]) << 8 | bytes[offset + 1];
}

// The bridge layout built the long way: 29 zero bytes inserted at 9867, then the header fields.
Bytes bridgeLayout(const Bytes& source, size_t resultSize) {
    unsigned last = field(View(source.data(), source.size()), 0);
    unsigned second = field(View(source.data(), source.size()), 2) + 29;
    Bytes bytes(source.begin(), source.begin() + ptrdiff_t(resultSize - 29));
    bytes.insert(bytes.begin() + 9867, 29, 0);
    bytes[0] = uint8_t((last + 29) >> 8), bytes[1] = uint8_t(last + 29);
    bytes[2] = uint8_t(second >> 8), bytes[3] = uint8_t(second);
    bytes[second - 3] = uint8_t(second >> 8), bytes[second - 2] = uint8_t(second);
    return bytes;
}

Bytes convert(const Bytes& source, size_t targetSize, Bytes* target = nullptr) {
    Bytes own(targetSize, 0xA5);
    Bytes& t = target ? *target : own;
    t.assign(targetSize, 0xA5);
    View result = convertToBridge(View(source.data(), source.size()), Span(t.data(), t.size()));
    if (!result.empty()) {
        EXPECT_EQ(result.data(), t.data());
    }
    return Bytes(result.begin(), result.end());
}

TEST(ConvertToBridge, WorkedExampleWhereTheSourceEndsAtL) {
    Bytes source = sourceImage(16384, 16384, 10000);
    Bytes result = convert(source, 32768);
    ASSERT_EQ(result.size(), 16413u);
    EXPECT_EQ(result[0], 0x40);
    EXPECT_EQ(result[1], 0x1D);
    EXPECT_EQ(result[2], 0x27);
    EXPECT_EQ(result[3], 0x2D);
    EXPECT_EQ(result[10026], 0x27);
    EXPECT_EQ(result[10027], 0x2D);
    for (size_t i = 9867; i < 9896; ++i)
        EXPECT_EQ(result[i], 0) << i;
    EXPECT_EQ(result[9896], source[9867]);
    EXPECT_EQ(result.back(), source.back());
    EXPECT_EQ(result, bridgeLayout(source, 16413));
}

TEST(ConvertToBridge, CarriesTheByteAtLWhenThereIsOne) {
    // L is the offset of the last byte (the table's end marker), which a backup includes.
    Bytes source = sourceImage(16400, 16384, 10000);
    Bytes result = convert(source, 32768);
    ASSERT_EQ(result.size(), 16414u);
    EXPECT_EQ(result.back(), source[16384]);
    EXPECT_EQ(field(View(result.data(), result.size()), 0), 16413u); // the header keeps L + 29
    EXPECT_EQ(result, bridgeLayout(source, 16414));

    // Without room for it in the target the image is still converted, as far as L.
    EXPECT_EQ(convert(source, 16413), bridgeLayout(source, 16413));
}

TEST(ConvertToBridge, Boundaries) {
    Bytes smallest = sourceImage(12196, 12195, 9000);
    EXPECT_EQ(convert(smallest, 32768), bridgeLayout(smallest, 12225));

    Bytes largest = sourceImage(65506, 65506, 65506);
    EXPECT_EQ(convert(largest, 65535), bridgeLayout(largest, 65535));

    Bytes lowL = sourceImage(12196, 9867, 9868); // P' - 2 is the last result byte
    EXPECT_EQ(convert(lowL, 32768), bridgeLayout(lowL, 9897));
}

struct Refusal {
    const char* why;
    size_t sourceSize;
    unsigned last;
    unsigned second;
    size_t targetSize;
};

TEST(ConvertToBridge, RefusalsLeaveTheTargetUntouched) {
    const Refusal rows[] = {
        {"source of 12195 bytes", 12195, 12195, 10000, 32768},
        {"L past the source", 16384, 16385, 10000, 32768},
        {"L of 65507", 65507, 65507, 10000, 65536 + 64},
        {"L of 65535", 65535, 65535, 10000, 65536 + 64},
        {"target shorter than L + 29", 16384, 16384, 10000, 16412},
        {"L before the insertion point", 16384, 9866, 9000, 32768},
        {"L of 0", 16384, 0, 0, 32768},
        {"P' - 2 just past the result", 16384, 16384, 16386, 32768},
        {"P' - 2 far past the result", 16384, 16384, 65000, 32768},
        {"P' beyond 16 bits", 65506, 65506, 65507, 65536},
    };
    for (const Refusal& row : rows) {
        SCOPED_TRACE(row.why);
        Bytes target;
        EXPECT_TRUE(
            convert(sourceImage(row.sourceSize, row.last, row.second), row.targetSize, &target).empty());
        EXPECT_EQ(target, Bytes(row.targetSize, 0xA5));
    }
}

} // namespace
