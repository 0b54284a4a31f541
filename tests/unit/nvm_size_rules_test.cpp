#include "zwave/NVMSizeRules.hpp"
#include "zwave/nvm_io_exception.hpp"

#include "../support/MessageText.hpp"

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

struct ReadCase {
    const char* what;
    size_t dataBytes, zeroBytes;
    uint32_t reportedSize;
    size_t kept;
    const char* line;
};

TEST(NVMSizeRules, WhatABackupKeeps) {
    const ReadCase cases[] = {
        {"exactly the reported size", 16384, 0, 16384, 16384, ""},
        {"one trailing zero is dropped silently", 16384, 1, 16384, 16384, ""},
        {"several trailing zeros are dropped with a note", 16000, 390, 16384, 16384,
         "Info: Discarding 6 trailing zero-bytes.\n"},
        {"data past the size is kept with a warning", 16390, 0, 16384, 16390,
         "Warning: got more than expected! Got EOF after 16390 bytes, but NVM size was reported to be 16384 "
         "bytes\n"},
        {"the size word follows the count", 2, 0, 1, 2,
         "Warning: got more than expected! Got EOF after 2 bytes, but NVM size was reported to be 1 byte\n"},
    };
    for (const ReadCase& c : cases) {
        ConsoleCapture console;
        std::vector<uint8_t> read = image(c.dataBytes, c.zeroBytes);
        View kept = keptOfNVMRead(viewOf(read), c.reportedSize);
        EXPECT_EQ(kept.data(), read.data()) << c.what;
        EXPECT_EQ(kept.size(), c.kept) << c.what;
        EXPECT_EQ(messageText(console), c.line) << c.what;
    }
}

TEST(NVMSizeRules, AnEarlyEndOfTheNVMIsAnError) {
    ConsoleCapture console;
    std::vector<uint8_t> read = image(16000, 0);
    try {
        keptOfNVMRead(viewOf(read), 16384);
        FAIL() << "no exception";
    } catch (const nvm_io_exception& e) {
        EXPECT_STREQ(e.what(), "Got EOF before advertised NVM size");
    }
    EXPECT_EQ(messageText(console),
              "Error: got less than expected! Got EOF after 16000 bytes, but NVM size was reported "
              "to be 16384 bytes\n");
}

struct WriteCase {
    const char* what;
    size_t dataBytes, zeroBytes;
    uint32_t nvmSize;
    size_t written;
    const char* line;
};

TEST(NVMSizeRules, HowMuchOfAnImageIsWritten) {
    const WriteCase cases[] = {
        {"an image that fits", 16384, 0, 16384, 16384, ""},
        {"a smaller image", 100, 0, 16384, 100, ""},
        {"trailing zeros cover the excess", 16380, 20, 16384, 16384,
         "Info: Truncating NVM image from 16400 to 16384 bytes, discarding 16 of 20 trailing zero-bytes.\n"},
        {"an all-zero image", 0, 16385, 16384, 16384,
         "Info: Truncating NVM image from 16385 to 16384 bytes, discarding 1 of 16385 trailing "
         "zero-bytes.\n"},
        {"one trailing zero", 1, 1, 1, 1,
         "Info: Truncating NVM image from 2 to 1 byte, discarding 1 of 1 trailing zero-byte.\n"},
        {"one non-zero byte too many", 16385, 0, 16384, 16384,
         "Warning: NVM image (16385 bytes) is too big for NVM (16384 bytes). Discarding last byte even if "
         "it's not "
         "zero.\n"},
        {"no trailing zeros at all", 16400, 0, 16384, 16400,
         "Warning: NVM image (16400 bytes) is too big for NVM (16384 bytes). No trailing zero-bytes to "
         "discard. \n"
         "Trying to write anyway, and hoping for the best.\n"},
        {"too few trailing zeros", 16396, 4, 16384, 16396,
         "Warning: NVM image (16400 bytes) is too big for NVM (16384 bytes). Still too big by 12 bytes, "
         "after "
         "truncating to 16396 bytes, by discarding all 4 trailing zero-bytes.\n"
         "Trying to write anyway, and hoping for the best.\n"},
        {"singular words", 2, 1, 1, 2,
         "Warning: NVM image (3 bytes) is too big for NVM (1 byte). Still too big by 1 byte, after "
         "truncating to 2 "
         "bytes, by discarding all 1 trailing zero-byte.\nTrying to write anyway, and hoping for the "
         "best.\n"},
    };
    for (const WriteCase& c : cases) {
        ConsoleCapture console;
        std::vector<uint8_t> bytes = image(c.dataBytes, c.zeroBytes);
        EXPECT_EQ(nvmWriteLength(viewOf(bytes), c.nvmSize), c.written) << c.what;
        EXPECT_EQ(messageText(console), c.line) << c.what;
        bool cut = *c.line != '\0';
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
    try {
        checkImageFitsWireOffsets(viewOf(tooLarge));
        FAIL() << "no exception";
    } catch (const nvm_io_exception& e) {
        EXPECT_STREQ(e.what(), "NVM image too large");
    }
}

} // namespace
