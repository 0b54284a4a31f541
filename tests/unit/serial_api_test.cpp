// The Serial API link and the NVM exchange against a scripted module, for what the emulator never
// sends: malformed frames, version and NVM replies, stale callbacks; the soft reset a restore without
// a reset pin asks for; the size rules' messages in the singular and at boundaries the emulator's
// NVM does not reach. Whole backups and restores and their retries run end to end.
#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Frame.hpp"
#include "zwave/NVM.hpp"
#include "zwave/NVMSizeRules.hpp"
#include "zwave/ProtocolVersion.hpp"
#include "zwave/SerialAPI.hpp"
#include "zwave/nvm_io_exception.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/ScriptedPeer.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

using Bytes = ScriptedPeer::Bytes;
using Lines = std::vector<std::string>;
const Bytes GET_VERSION = {0x01, 0x03, 0x00, 0x15, 0xe9};
const Bytes VERSION_REPLY =
    ScriptedPeer::frame(0x01, 0x15, {'Z', '-', 'W', 'a', 'v', 'e', ' ', '4', '.', '6', '1', 0, 1});

// The module on a pty, answering every frame with `answer` unless scripted, and a connection to it.
struct Link {
    explicit Link(Bytes answer, ScriptedPeer::Script script = {}, bool verbose = false)
        : peer(
              ScriptedPeer::Cut::Frames,
              script ? script
                     : [answer](const Bytes& got, size_t) { return got.size() > 3 ? answer : Bytes(); }),
          api(chip, false, verbose) {}
    ScriptedPeer peer;
    Chip chip{peer.path(), ChipMode::Run};
    ConsoleCapture console;
    SerialAPI api;
};

Bytes bytesOf(const Frame& frame) {
    return Bytes(frame.data, frame.data + frame.size);
}

TEST(ReadFrame, MalformedFramesAreDroppedWithinTheTimeoutAllTold) {
    Link link({});
    // A start without a length is skipped, and the frame behind it found in what is buffered.
    link.peer.send({0x01, 0x00, 0x7f});
    link.peer.send(VERSION_REPLY);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 5000)), VERSION_REPLY);
    // A frame cut short ends as nothing once the time is over; the next frame stands on its own.
    link.peer.send({0x01, 0x05, 0x01, 0x15, 0x41});
    TimeoutClock clock;
    EXPECT_EQ(readFrame(link.chip, 200).size, 0u);
    EXPECT_GE(clock.elapsed(), 199);
    link.peer.send(VERSION_REPLY);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 5000)), VERSION_REPLY);
    // A false start and a cut frame late in the read do not renew its timeout, which would end at
    // 1500 at the earliest; the shortest of up to three reads counts.
    long long shortest = 1000000;
    for (int round = 0; round < 3 && shortest >= 1400; ++round) {
        std::thread late([&link] { usleep(500 * 1000), link.peer.send({0x01, 0x00, 0x01, 0x05, 0x01}); });
        clock = TimeoutClock();
        EXPECT_EQ(readFrame(link.chip, 1000).size, 0u);
        shortest = std::min(shortest, clock.elapsed());
        late.join();
        EXPECT_GE(clock.elapsed(), 999);
    }
    EXPECT_LT(shortest, 1400);
}

// A reply without text is no version: the request is sent again, five times in all. Text is cut
// at its capacity; a type beyond the known ones has no name.
TEST(SerialAPI, VersionRepliesOfEveryShape) {
    const std::string thirty = "abcdefghijklmnopqrstuvwxyzabcd";
    Bytes longText(thirty.begin(), thirty.end());
    longText.insert(longText.end(), {0x00, 0x07});
    const struct {
        Bytes payload;
        std::string text, type;
        size_t requests;
    } rows[] = {
        {{}, "", "Unknown library type", 5},
        {{'A'}, "", "Unknown library type", 5},
        {{0x00, 0x07}, "", "Unknown library type", 5},
        {{'4', 0x00, 0x01}, "4", "Static controller library", 1},
        {{'4', 0x00, 0x08}, "4", "Unknown library type", 1},
        {{'4', 0x00, 0xC8}, "4", "Unknown library type", 1},
        {longText, thirty.substr(0, 24), "Bridge controller library", 1},
    };
    for (const auto& row : rows) {
        Link link(ScriptedPeer::frame(0x01, 0x15, row.payload));
        ProtocolVersion version = link.api.getVersion();
        StringView type = libraryTypeName(version);
        EXPECT_EQ(std::string(version.text().data(), version.text().size()), row.text);
        EXPECT_EQ(std::string(type.data(), type.size()), row.type) << row.text;
        EXPECT_EQ(link.peer.count(GET_VERSION), row.requests);
    }
    // Frames too short for a version never reach the text.
    for (uint32_t size : {0u, 1u, 4u}) {
        Frame reply = Frame::empty();
        reply.size = size;
        EXPECT_EQ(ProtocolVersion::fromFrame(reply).length(), 0) << size;
    }
}

// A damaged frame is NAKed and its repetition ACKed; the fault matrix sees the NAK, not the ACK.
TEST(SerialAPI, ABadChecksumIsNakedAndTheRepetitionAcked) {
    Link link({}, [](const Bytes& got, size_t) {
        Bytes damaged = VERSION_REPLY;
        damaged[8] ^= 0x20;
        return got == GET_VERSION ? damaged : got == Bytes{NAK} ? VERSION_REPLY : Bytes();
    });
    EXPECT_EQ(link.api.getVersion().text(), StringView("Z-Wave 4.61"));
    link.peer.waitFor(3);
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{GET_VERSION, {NAK}, {ACK}}));
}

// Without a reset pin a reset is a soft one when allowed, waiting for the started notification
// (the restore's resets; the end-to-end runs only see the soft reset of the connection).
TEST(SerialAPI, ResetWithoutAPinIsSoftWhenAllowed) {
    Link link(ScriptedPeer::frame(0x00, 0x0A, {0x01, 0x00}), {}, true);
    EXPECT_TRUE(link.api.resetChip(false, true, 5000));
    EXPECT_FALSE(link.api.resetChip(false, false, 5000));
    EXPECT_TRUE(link.api.resetChip(true, false, 5000));
    link.api.drain(20);
    link.peer.waitFor(2);
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{{0x01, 0x03, 0x00, 0x08, 0xf4}, {ACK}}));
    // A verbose link dumps every write and read, an empty one as well.
    EXPECT_EQ(link.console.lines(), (Lines{"Sending: <01 03 00 08 f4>", "Recving: <01 05 00 0a 01 00 f1>",
                                           "Sending: <06>", "Recving: <>"}));
}

// Set default answered with a stale callback id (0x05) until its `answerOn`th request.
ScriptedPeer::Script setDefaultAnsweredOn(int answerOn) {
    return [requests = 0, answerOn](const Bytes& got, size_t) mutable {
        if (got.size() < 4 || got[3] != 0x42)
            return Bytes();
        return ScriptedPeer::frame(0x00, 0x42, {uint8_t(++requests == answerOn ? 0x07 : 0x05), 0x00});
    };
}

// An erase tries once and then once per retry, each retry shown; the callback must carry its id.
TEST(SerialAPI, EraseNeedsItsCallbackIdAndTriesOncePerRetry) {
    serial_api::testing::setEraseDrainTime(5);
    Link failing({}, setDefaultAnsweredOn(0));
    EXPECT_FALSE(failing.api.eraseNVM(32));
    EXPECT_EQ(failing.peer.received().front(), (Bytes{0x01, 0x04, 0x00, 0x42, 0x07, 0xbe}));
    EXPECT_EQ(failing.peer.count({0x42}, 3), 33u);
    Lines status = emutest::messageLines(failing.console.stdoutText());
    EXPECT_EQ(emutest::countLines(status, "Erasing NVM (retry "), 32u);
    EXPECT_TRUE(emutest::hasLine(status, "  0.00% Sector  0/63 addr=0x000000 Erasing NVM (retry 32 of 32)"));
    Link lastChance({}, setDefaultAnsweredOn(33));
    EXPECT_TRUE(lastChance.api.eraseNVM(32));
    EXPECT_EQ(lastChance.peer.count({0x42}, 3), 33u);
    serial_api::testing::setEraseDrainTime(1000);
}

Bytes reply(uint8_t status, uint8_t length, uint16_t offset, const Bytes& data = {}) {
    Bytes payload = {status, length, uint8_t(offset >> 8), uint8_t(offset)};
    payload.insert(payload.end(), data.begin(), data.end());
    return ScriptedPeer::frame(0x01, 0x2E, payload);
}

// Each reply, given to every request, and the message of the exchange it ends.
TEST(NVMExchange, FaultyRepliesRaise) {
    static uint8_t buffer[16383];
    static const std::vector<uint8_t> four = {1, 2, 3, 4}, large(65600, 0x5A);
    using Action = void (*)(SerialAPI&);
    const Action read4 = [](SerialAPI& api) { readChunk(api, 0, Span(buffer, 4)); };
    const Action write4 = [](SerialAPI& api) { writeAll(api, View(four.data(), 4)); };
    const struct {
        Bytes answer;
        Action action;
        std::string message;
    } rows[] = {
        // clang-format off
        {ScriptedPeer::frame(0x01, 0x2E, {0x00, 0x00, 0x00}), read4, "invalid nvm read response from chip"},
        {reply(1, 0, 0), read4, "nvm read error"},
        {reply(7, 0, 0), read4, "invalid nvm read response from chip"},
        {reply(0, 3, 0, {0xAA, 0xBB}), read4, "nvm buffer in response shorter than specified in header"},
        {reply(0, 5, 0, {1, 2, 3, 4, 5}), read4, "local nvm buffer overflow"},
        // A read that never advances raises instead of asking forever.
        {reply(0, 0, 0), [](SerialAPI& api) { readAll(api, Span(buffer, 64)); },
         "invalid nvm read response from chip"},
        // An NVM larger than the caller's buffer is refused once the open reports its size.
        {reply(0, 0, 16384), [](SerialAPI& api) { backupNVM(api, Span(buffer)); },
         "NVM is larger than supplied buffer"},
        {ScriptedPeer::frame(0x01, 0x2E, {0x00, 0x04}), write4, "invalid nvm write response from chip"},
        {reply(2, 4, 0), write4, "invalid nvm write response from chip"},
        {reply(0, 4, 64), write4, "nvm write at unexpected offset"},
        {reply(255, 4, 0), write4, "nvm write error"},
        {reply(0, 0, 0), write4, "unexpected write size"},
        {{}, [](SerialAPI& api) { writeChunk(api, 4, View(four.data(), 4)); }, "empty NVM write"},
        // Past the 16-bit wire offset a write would land at the start of the NVM instead.
        {{}, [](SerialAPI& api) { writeChunk(api, 65536, View(large.data(), large.size())); },
         "NVM image too large"},
        // clang-format on
    };
    for (const auto& row : rows) {
        Link link(row.answer);
        try {
            row.action(link.api);
            ADD_FAILURE() << "no exception: " << row.message;
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), row.message);
        }
    }
    // A restore without an open connection is refused before anything else.
    ConsoleCapture console;
    Chip closed("/nonexistent/tty", ChipMode::Run);
    SerialAPI api(closed, false, false);
    EXPECT_THROW(restoreNVM(api, View(four.data(), 4), 3), std::invalid_argument);
}

// `length` bytes of 0x5A followed by `zeros` zero bytes.
std::vector<uint8_t> image(size_t length, size_t zeros) {
    std::vector<uint8_t> bytes(length, 0x5A);
    bytes.resize(length + zeros, 0);
    return bytes;
}

TEST(NVMSizeRules, MessagesInTheSingularAndAtTheBoundaries) {
    const struct {
        size_t dataBytes, zeroBytes;
        uint32_t nvmSize;
        size_t written;
        Lines lines;
    } rows[] = {
        // clang-format off
        {100, 0, 16384, 100, {}},
        {0, 16385, 16384, 16384,
         {"Info: Truncating NVM image from 16385 to 16384 bytes, discarding 1 of 16385 trailing "
          "zero-bytes."}},
        {1, 1, 1, 1, {"Info: Truncating NVM image from 2 to 1 byte, discarding 1 of 1 trailing zero-byte."}},
        {2, 1, 1, 2,
         {"Warning: NVM image (3 bytes) is too big for NVM (1 byte). Still too big by 1 byte, after "
          "truncating to 2 bytes, by discarding all 1 trailing zero-byte.",
          "Trying to write anyway, and hoping for the best."}},
        // clang-format on
    };
    for (const auto& row : rows) {
        ConsoleCapture console;
        std::vector<uint8_t> bytes = image(row.dataBytes, row.zeroBytes);
        EXPECT_EQ(nvmWriteLength(View(bytes.data(), bytes.size()), row.nvmSize), row.written) << bytes.size();
        EXPECT_EQ(console.lines(), row.lines);
    }
    ConsoleCapture console;
    const uint8_t two[2] = {1, 2};
    EXPECT_EQ(keptOfNVMRead(View(two, 2), 1).size(), 2u);
    EXPECT_EQ(console.lines(), Lines{"Warning: got more than expected! Got EOF after 2 bytes, "
                                     "but NVM size was reported to be 1 byte"});
    // Zero padding is cut before an image is written, so it does not count against the wire offset.
    std::vector<uint8_t> fits = image(65536, 65536), over = image(65537, 10);
    EXPECT_NO_THROW(checkImageFitsWireOffsets(View(fits.data(), fits.size())));
    EXPECT_THROW(checkImageFitsWireOffsets(View(over.data(), over.size())), nvm_io_exception);
}

} // namespace
