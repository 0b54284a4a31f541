#include "zwave/Chip.hpp"
#include "zwave/NVM.hpp"
#include "zwave/SerialAPI.hpp"

#include "../support/MessageText.hpp"
#include "../support/ScriptedPeer.hpp"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using Bytes = ScriptedPeer::Bytes;

// A module that serves its NVM through the backup/restore command, plus the soft reset and set
// default a restore needs. It runs on the peer's thread; tests look at it once the host is done.
struct FakeModule {
    uint16_t reportedSize = 16384;
    Bytes content;            // what reads return, the end of the NVM after it
    Bytes written;            // what writes stored, by offset
    bool answerOpen = true;   // false: open requests go unanswered
    int wrongReadOffsets = 0; // this many read replies carry the offset + 64
    int writeErrors = 0;      // this many write replies carry status 1

    Bytes operator()(const Bytes& got) {
        if (got.size() < 5)
            return {};
        switch (got[3]) {
        case 0x08:
            return ScriptedPeer::request(0x0A, {0x01, 0x00});
        case 0x42:
            return ScriptedPeer::request(0x42, {0x07, 0x00});
        case 0x2E:
            return nvm(got);
        default:
            return {};
        }
    }

    Bytes nvm(const Bytes& got) {
        switch (got[4]) {
        case 0:
            return answerOpen ? reply(0, 0, reportedSize) : Bytes();
        case 1: {
            uint32_t offset = uint32_t(got[6]) << 8 | got[7];
            size_t n = offset < content.size() ? std::min<size_t>(got[5], content.size() - offset) : 0;
            Bytes data(content.begin() + offset, content.begin() + offset + n);
            bool end = offset + n >= content.size();
            if (wrongReadOffsets > 0 && wrongReadOffsets--)
                offset += 64;
            return reply(end ? 255 : 0, uint8_t(n), uint16_t(offset), data);
        }
        case 2: {
            uint32_t offset = uint32_t(got[6]) << 8 | got[7];
            if (writeErrors > 0 && writeErrors--)
                return reply(1, 0, uint16_t(offset));
            uint8_t n = got[5];
            if (written.size() < offset + n)
                written.resize(offset + n);
            std::copy(got.begin() + 8, got.begin() + 8 + n, written.begin() + offset);
            return reply(0, n, uint16_t(offset));
        }
        case 3:
            return reply(0, 0, 0);
        default:
            return {};
        }
    }

    static Bytes reply(uint8_t status, uint8_t length, uint16_t offset, const Bytes& data = {}) {
        Bytes payload = {status, length, uint8_t(offset >> 8), uint8_t(offset)};
        payload.insert(payload.end(), data.begin(), data.end());
        return ScriptedPeer::response(0x2E, payload);
    }
};

Bytes pattern(size_t length, size_t zeros = 0) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(i * 7 + 1) | 1;
    bytes.resize(length + zeros, 0);
    return bytes;
}

View viewOf(const Bytes& bytes) {
    return View(bytes.data(), bytes.size());
}

// A fake module on a pty, the chip and connection on the other side, the console captured.
struct Bench {
    Bench() : peer([this](const Bytes& got) { return module(got); }), chip(peer.path(), ChipMode::Run) {}
    FakeModule module;
    ScriptedPeer peer;
    Chip chip;
    ConsoleCapture console;
    SerialAPI api{chip, false, false};

    size_t nvmRequests(uint8_t op) const {
        size_t n = 0;
        for (const Bytes& b : peer.received())
            n += b.size() > 4 && b[3] == 0x2E && b[4] == op;
        return n;
    }
};

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

TEST(NVMBackup, ReadsTheWholeNVMAndAppliesTheSizeRules) {
    struct Case {
        const char* what;
        Bytes content;
        size_t kept;
        const char* line;
    } cases[] = {
        {"exactly the reported size", pattern(16384), 16384, ""},
        {"one trailing zero", pattern(16384, 1), 16384, ""},
        {"six trailing zeros", pattern(16384, 6), 16384, "Info: Discarding 6 trailing zero-bytes.\n"},
        {"data past the size", pattern(16390), 16390,
         "Warning: got more than expected! Got EOF after 16390 bytes, but NVM size was reported to be 16384 "
         "bytes\n"},
    };
    for (Case& c : cases) {
        Bench bench;
        bench.module.content = c.content;
        static uint8_t buffer[524288];
        View backup = backupNVM(bench.api, Span(buffer));
        ASSERT_EQ(backup.size(), c.kept) << c.what;
        EXPECT_TRUE(std::equal(backup.begin(), backup.end(), c.content.begin())) << c.what;
        EXPECT_EQ(messageText(bench.console), c.line) << c.what;
        EXPECT_EQ(bench.nvmRequests(1), (c.content.size() + 63) / 64) << c.what;
        EXPECT_EQ(bench.nvmRequests(0), 1u);
        EXPECT_EQ(bench.nvmRequests(3), 1u);
    }
}

TEST(NVMBackup, AnEarlyEndIsAnErrorAndTheNVMIsStillClosed) {
    Bench bench;
    bench.module.content = pattern(16000);
    static uint8_t buffer[32768];
    EXPECT_EQ(messageOf([&] { backupNVM(bench.api, Span(buffer)); }), "Got EOF before advertised NVM size");
    EXPECT_EQ(messageText(bench.console),
              "Error: got less than expected! Got EOF after 16000 bytes, but NVM size was "
              "reported to be 16384 bytes\n");
    EXPECT_EQ(bench.nvmRequests(3), 1u);

    uint8_t small[16383];
    EXPECT_EQ(messageOf([&] { backupNVM(bench.api, Span(small)); }), "NVM is larger than supplied buffer");
}

TEST(NVMBackup, AWrongOffsetIsAskedForAgain) {
    Bench bench;
    bench.module.content = pattern(16384);
    bench.module.wrongReadOffsets = 1;
    static uint8_t buffer[16384];
    View backup = backupNVM(bench.api, Span(buffer));
    ASSERT_EQ(backup.size(), 16384u);
    EXPECT_TRUE(std::equal(backup.begin(), backup.end(), bench.module.content.begin()));
    EXPECT_EQ(bench.nvmRequests(1), 257u);
    std::vector<Bytes> reads;
    for (const Bytes& b : bench.peer.received())
        if (b.size() > 4 && b[3] == 0x2E && b[4] == 1)
            reads.push_back(b);
    EXPECT_EQ(reads[0], reads[1]);
    EXPECT_EQ(reads[2][7], 0x40);
}

TEST(NVMBackup, AnOpenWithoutReplyIsTriedThreeTimes) {
    Bench bench;
    bench.module.answerOpen = false;
    static uint8_t buffer[16384];
    EXPECT_EQ(messageOf([&] { backupNVM(bench.api, Span(buffer)); }), "NVM could not be opened");
    EXPECT_EQ(bench.nvmRequests(0), 3u);
    EXPECT_EQ(bench.nvmRequests(3), 0u);
    std::string status = bench.console.stdoutText();
    size_t first = status.find("Reading NVM (retry 1 of 2)");
    EXPECT_NE(first, std::string::npos);
    EXPECT_NE(status.find("Reading NVM (retry 2 of 2)", first), std::string::npos);
}

TEST(NVMBackup, NothingWithoutAnOpenConnection) {
    ConsoleCapture console;
    Chip chip("/nonexistent/tty", ChipMode::Run);
    SerialAPI api(chip, false, false);
    uint8_t buffer[64];
    EXPECT_TRUE(backupNVM(api, Span(buffer)).empty());
    EXPECT_EQ(messageOf([&] { restoreNVM(api, View(buffer, 64), 3); }), "Serial API not open");
    EXPECT_THROW(restoreNVM(api, View(buffer, 64), 3), std::invalid_argument);
}

TEST(NVMRestore, WritesTheImageAfterResetAndErase) {
    Bench bench;
    Bytes image = pattern(16384);
    EXPECT_TRUE(restoreNVM(bench.api, viewOf(image), 3));
    EXPECT_EQ(bench.module.written, image);
    EXPECT_EQ(bench.nvmRequests(2), 256u);
    EXPECT_EQ(messageText(bench.console), "");
    std::vector<uint8_t> order;
    for (const Bytes& b : bench.peer.received())
        if (b.size() > 4 && (order.empty() || order.back() != b[3]))
            order.push_back(b[3]);
    EXPECT_EQ(order, (std::vector<uint8_t>{0x08, 0x42, 0x2E, 0x08}));
}

TEST(NVMRestore, TruncatesAnImageWithTrailingZeros) {
    Bench bench;
    Bytes image = pattern(16380, 20);
    EXPECT_TRUE(restoreNVM(bench.api, viewOf(image), 3));
    EXPECT_EQ(bench.module.written, Bytes(image.begin(), image.begin() + 16384));
    EXPECT_EQ(messageText(bench.console),
              "Info: Truncating NVM image from 16400 to 16384 bytes, discarding 16 of 20 "
              "trailing zero-bytes.\n");
}

TEST(NVMRestore, FailedAttemptsStartOverAndTheLastOneRaises) {
    Bench bench;
    bench.module.writeErrors = 1000;
    Bytes image = pattern(128);
    EXPECT_EQ(messageOf([&] { restoreNVM(bench.api, viewOf(image), 3); }), "nvm write error");
    EXPECT_EQ(bench.peer.framesWith(0x08), 4u);
    EXPECT_EQ(bench.peer.framesWith(0x42), 4u);
    EXPECT_EQ(bench.nvmRequests(0), 4u);
    EXPECT_EQ(bench.nvmRequests(2), 16u);
    EXPECT_EQ(bench.nvmRequests(3), 4u);
    std::string status = bench.console.stdoutText();
    size_t at = 0;
    for (const char* retry :
         {"Writing NVM (retry 1 of 3)", "Writing NVM (retry 2 of 3)", "Writing NVM (retry 3 of 3)"}) {
        at = status.find(retry, at);
        ASSERT_NE(at, std::string::npos) << retry;
    }
}

TEST(NVMRestore, AFailedAttemptIsFollowedByAGoodOne) {
    Bench bench;
    bench.module.writeErrors = 4;
    Bytes image = pattern(200);
    EXPECT_TRUE(restoreNVM(bench.api, viewOf(image), 3));
    EXPECT_EQ(bench.module.written, image);
    EXPECT_EQ(bench.nvmRequests(0), 2u);
}

TEST(NVMRestore, AnImagePastTheWireOffsetIsRefusedBeforeTheChipIsTouched) {
    Bench bench;
    Bytes image = pattern(65537, 100);
    EXPECT_EQ(messageOf([&] { restoreNVM(bench.api, viewOf(image), 3); }), "NVM image too large");
    usleep(50 * 1000);
    EXPECT_TRUE(bench.peer.received().empty());

    // Zero padding past the wire offset is cut by the size rules, so such an image is written.
    Bytes padded = pattern(16384, 70000);
    EXPECT_TRUE(restoreNVM(bench.api, viewOf(padded), 3));
    EXPECT_EQ(bench.module.written, pattern(16384));
}

// One fixed reply to every NVM read or write request.
struct FaultCase {
    const char* what;
    Bytes reply;
    const char* message;
};

TEST(NVMExchange, FaultyReadRepliesRaise) {
    const FaultCase cases[] = {
        {"short reply", ScriptedPeer::response(0x2E, {0x00, 0x00, 0x00}),
         "invalid nvm read response from chip"},
        {"error status", FakeModule::reply(1, 0, 0), "nvm read error"},
        {"unknown status", FakeModule::reply(7, 0, 0), "invalid nvm read response from chip"},
        {"wrong offset", FakeModule::reply(0, 1, 64, {0xAA}), "unexpected nvm range received"},
        {"length beyond data", FakeModule::reply(0, 3, 0, {0xAA, 0xBB}),
         "nvm buffer in response shorter than specified in header"},
        {"more than the buffer", FakeModule::reply(0, 5, 0, {1, 2, 3, 4, 5}), "local nvm buffer overflow"},
    };
    for (const FaultCase& c : cases) {
        ScriptedPeer peer([&c](const Bytes& got) { return got.size() > 3 ? c.reply : Bytes(); });
        Chip chip(peer.path(), ChipMode::Run);
        ConsoleCapture console;
        SerialAPI api(chip, false, false);
        uint8_t buffer[4];
        EXPECT_EQ(messageOf([&] { readChunk(api, 0, Span(buffer)); }), c.message) << c.what;
    }
}

TEST(NVMExchange, AReadThatNeverAdvancesRaisesInsteadOfAskingForever) {
    ScriptedPeer peer([](const Bytes& got) { return got.size() > 3 ? FakeModule::reply(0, 0, 0) : Bytes(); });
    Chip chip(peer.path(), ChipMode::Run);
    ConsoleCapture console;
    SerialAPI api(chip, false, false);
    uint8_t buffer[64];
    EXPECT_EQ(messageOf([&] { readAll(api, Span(buffer)); }), "invalid nvm read response from chip");
}

TEST(NVMExchange, FaultyWriteRepliesRaise) {
    const FaultCase cases[] = {
        {"short reply", ScriptedPeer::response(0x2E, {0x00, 0x04}), "invalid nvm write response from chip"},
        {"unknown status", FakeModule::reply(2, 4, 0), "invalid nvm write response from chip"},
        {"wrong offset", FakeModule::reply(0, 4, 64), "nvm write at unexpected offset"},
        {"end status", FakeModule::reply(255, 4, 0), "nvm write error"},
        {"nothing written", FakeModule::reply(0, 0, 0), "unexpected write size"},
    };
    const uint8_t image[] = {1, 2, 3, 4};
    for (const FaultCase& c : cases) {
        ScriptedPeer peer([&c](const Bytes& got) { return got.size() > 3 ? c.reply : Bytes(); });
        Chip chip(peer.path(), ChipMode::Run);
        ConsoleCapture console;
        SerialAPI api(chip, false, false);
        EXPECT_EQ(messageOf([&] { writeAll(api, View(image, 4)); }), c.message) << c.what;
    }
    ScriptedPeer silent;
    Chip chip(silent.path(), ChipMode::Run);
    ConsoleCapture console;
    SerialAPI api(chip, false, false);
    EXPECT_EQ(messageOf([&] { writeChunk(api, 4, View(image, 4)); }), "empty NVM write");
    // Past the 16-bit wire offset a write would land at the start of the NVM instead.
    Bytes large = pattern(65600);
    EXPECT_EQ(messageOf([&] { writeChunk(api, 65536, viewOf(large)); }), "NVM image too large");
}

} // namespace
