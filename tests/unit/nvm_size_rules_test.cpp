// The size rules' message texts word for word, with their singular forms and the boundaries the
// emulator runs do not reach. The usual backup and restore sizes run end to end
// (tests/e2e/nvm_e2e_test.cpp).
#include "zwave/NVMSizeRules.hpp"
#include "zwave/nvm_io_exception.hpp"

#include "support/ConsoleCapture.hpp"

#include <gtest/gtest.h>
#include <vector>

namespace {

// `length` bytes of 0x5A followed by `zeros` zero bytes.
std::vector<uint8_t> image(size_t length, size_t zeros) {
    std::vector<uint8_t> bytes(length, 0x5A);
    bytes.resize(length + zeros, 0);
    return bytes;
}

View viewOf(const std::vector<uint8_t>& bytes) {
    return View(bytes.data(), bytes.size());
}

// The second half of a message is printed without a wipe of its own.
const std::string TRY_ANYWAY = "Trying to write anyway, and hoping for the best.\n";

TEST(NVMSizeRules, WhatABackupKeeps) {
    ConsoleCapture console;
    std::vector<uint8_t> two = image(2, 0);
    View kept = keptOfNVMRead(viewOf(two), 1);
    EXPECT_EQ(kept.data(), two.data());
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_EQ(
        console.messages(),
        "Warning: got more than expected! Got EOF after 2 bytes, but NVM size was reported to be 1 byte\n");

    std::vector<uint8_t> zeros = image(16000, 390);
    EXPECT_EQ(keptOfNVMRead(viewOf(zeros), 16384).size(), 16384u);

    std::vector<uint8_t> early = image(16000, 0);
    try {
        keptOfNVMRead(viewOf(early), 16384);
        FAIL() << "no exception";
    } catch (const nvm_io_exception& e) {
        EXPECT_STREQ(e.what(), "Got EOF before advertised NVM size");
    }
}

struct WriteCase {
    const char* what;
    size_t dataBytes, zeroBytes;
    uint32_t nvmSize;
    size_t written;
    std::string lines;
};

TEST(NVMSizeRules, HowMuchOfAnImageIsWritten) {
    const WriteCase cases[] = {
        {"an image that fits", 16384, 0, 16384, 16384, ""},
        {"a smaller image", 100, 0, 16384, 100, ""},
        {"an all-zero image", 0, 16385, 16384, 16384,
         "Info: Truncating NVM image from 16385 to 16384 bytes, discarding 1 of 16385 trailing "
         "zero-bytes.\n"},
        {"one trailing zero", 1, 1, 1, 1,
         "Info: Truncating NVM image from 2 to 1 byte, discarding 1 of 1 trailing zero-byte.\n"},
        {"no trailing zeros at all", 16400, 0, 16384, 16400,
         "Warning: NVM image (16400 bytes) is too big for NVM (16384 bytes). No trailing zero-bytes to "
         "discard. \n" +
             TRY_ANYWAY},
        {"singular words", 2, 1, 1, 2,
         "Warning: NVM image (3 bytes) is too big for NVM (1 byte). Still too big by 1 byte, after "
         "truncating "
         "to 2 bytes, by discarding all 1 trailing zero-byte.\n" +
             TRY_ANYWAY},
    };
    for (const WriteCase& c : cases) {
        ConsoleCapture console;
        std::vector<uint8_t> bytes = image(c.dataBytes, c.zeroBytes);
        EXPECT_EQ(nvmWriteLength(viewOf(bytes), c.nvmSize), c.written) << c.what;
        EXPECT_EQ(console.messages(), c.lines) << c.what;
        bool cut = !c.lines.empty();
        EXPECT_EQ(console.stdoutText().find("Writing NVM") != std::string::npos, cut) << c.what;
    }
}

TEST(NVMSizeRules, ImagesThatWouldRunPastTheWireOffsetAreRefused) {
    std::vector<uint8_t> fits = image(65536, 0);
    EXPECT_NO_THROW(checkImageFitsWireOffsets(viewOf(fits)));
    // Zero padding is cut by the size rules before it is written, so it does not count.
    std::vector<uint8_t> padded = image(65536, 65536);
    EXPECT_NO_THROW(checkImageFitsWireOffsets(viewOf(padded)));
    std::vector<uint8_t> tooLarge = image(65537, 10);
    EXPECT_THROW(checkImageFitsWireOffsets(viewOf(tooLarge)), nvm_io_exception);
}

} // namespace
