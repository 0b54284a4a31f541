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

// The bridge layout built the long way: 29 zero bytes inserted at 9867, then the header fields.
Bytes bridgeLayout(const Bytes& source, size_t resultSize) {
    unsigned last = unsigned(source[0]) << 8 | source[1],
             second = (unsigned(source[2]) << 8 | source[3]) + 29;
    Bytes bytes(source.begin(), source.begin() + ptrdiff_t(resultSize - 29));
    bytes.insert(bytes.begin() + 9867, 29, 0);
    bytes[0] = uint8_t((last + 29) >> 8), bytes[1] = uint8_t(last + 29);
    bytes[2] = uint8_t(second >> 8), bytes[3] = uint8_t(second);
    bytes[second - 3] = uint8_t(second >> 8), bytes[second - 2] = uint8_t(second);
    return bytes;
}

// The result of converting `source` into `target`, which must be the target's start.
Bytes convert(const Bytes& source, Bytes& target) {
    View result = convertToBridge(View(source.data(), source.size()), Span(target.data(), target.size()));
    EXPECT_TRUE(result.empty() || result.data() == target.data());
    return Bytes(result.begin(), result.end());
}

// Worked by hand: L = 0x4000 becomes 0x401D, P' = 10000 + 29 = 0x272D, stored in the header and at
// P' - 3; 29 zero bytes at 9867.
TEST(ConvertToBridge, WorkedExampleWhereTheSourceEndsAtL) {
    Bytes source = sourceImage(16384, 16384, 10000), target(32768, 0xA5);
    Bytes result = convert(source, target);
    ASSERT_EQ(result.size(), 16413u);
    EXPECT_EQ(Bytes(result.begin(), result.begin() + 4), (Bytes{0x40, 0x1D, 0x27, 0x2D}));
    EXPECT_EQ(Bytes(result.begin() + 10026, result.begin() + 10028), (Bytes{0x27, 0x2D}));
    EXPECT_EQ(Bytes(result.begin() + 9867, result.begin() + 9896), Bytes(29, 0));
    EXPECT_EQ(result, bridgeLayout(source, 16413));
}

// Converted images against the long way, and refusals (a result size of 0: no result) that leave the
// target untouched.
TEST(ConvertToBridge, BoundariesAndRefusals) {
    // clang-format off
    struct Row { const char* why; size_t sourceSize; unsigned last, second; size_t targetSize, resultSize; };
    const Row rows[] = {
        // L is the offset of the last byte (the table's end marker), which a backup includes.
        {"the byte at L is carried", 16400, 16384, 10000, 32768, 16414},
        {"without room for it, as far as L", 16400, 16384, 10000, 16413, 16413},
        {"smallest source", 12196, 12195, 9000, 32768, 12225},
        {"largest source", 65506, 65506, 65506, 65535, 65535},
        {"P' - 2 is the last result byte", 12196, 9867, 9868, 32768, 9897},
        {"source of 12195 bytes", 12195, 12195, 10000, 32768, 0},
        {"L past the source", 16384, 16385, 10000, 32768, 0},
        {"L of 65507", 65507, 65507, 10000, 65536 + 64, 0},
        {"L of 65535", 65535, 65535, 10000, 65536 + 64, 0},
        {"target shorter than L + 29", 16384, 16384, 10000, 16412, 0},
        {"L before the insertion point", 16384, 9866, 9000, 32768, 0},
        {"L of 0", 16384, 0, 0, 32768, 0},
        {"P' - 2 just past the result", 16384, 16384, 16386, 32768, 0},
        {"P' - 2 far past the result", 16384, 16384, 65000, 32768, 0},
        {"P' beyond 16 bits", 65506, 65506, 65507, 65536, 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.why);
        Bytes source = sourceImage(row.sourceSize, row.last, row.second), target(row.targetSize, 0xA5);
        Bytes result = convert(source, target);
        EXPECT_EQ(result, row.resultSize ? bridgeLayout(source, row.resultSize) : Bytes());
        EXPECT_TRUE(row.resultSize || target == Bytes(row.targetSize, 0xA5)) << "a refusal wrote its target";
    }
}

} // namespace
