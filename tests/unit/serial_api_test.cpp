// The Serial API link and the NVM exchange against a scripted module, for what the emulator never
// sends: malformed frames, version and NVM replies, a damaged frame to NAK, stale callbacks; the
// size rules' messages in the singular and at boundaries the emulator's NVM does not reach; and
// attempt counts the end-to-end runs only see recover. Whole backups and restores, their usual
// sizes and retries run end to end (tests/e2e/nvm_e2e_test.cpp and the fault matrix).
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

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace {

using Bytes = ScriptedPeer::Bytes;
const Bytes GET_VERSION = {0x01, 0x03, 0x00, 0x15, 0xe9};
const Bytes VERSION_REPLY = {0x01, 0x10, 0x01, 0x15, 'Z', '-', 'W',  'a',  'v',
                             'e',  ' ',  '4',  '.',  '6', '1', 0x00, 0x01, 0x95};

Bytes bytesOf(const Frame& frame) {
    return Bytes(frame.data, frame.data + frame.size);
}

// The module on a pty, the chip on its other side (no reset pin), and the console captured.
struct Link {
    explicit Link(ScriptedPeer::Script script = {})
        : peer(ScriptedPeer::Cut::Frames, std::move(script)), chip(peer.path(), ChipMode::Run) {}
    ScriptedPeer peer;
    Chip chip;
    ConsoleCapture console;
};

TEST(ReadFrame, MalformedFramesAreDroppedWithinTheTimeoutAllTold) {
    Link link;
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

    // A false start late in the read does not renew its timeout, which would end at 1500 at the
    // earliest; the shortest of up to three reads counts.
    long long shortest = 1000000;
    for (int round = 0; round < 3 && shortest >= 1400; ++round) {
        std::thread late([&link] {
            usleep(500 * 1000);
            link.peer.send({0x01, 0x00});
        });
        clock = TimeoutClock();
        EXPECT_EQ(readFrame(link.chip, 1000).size, 0u);
        shortest = std::min(shortest, clock.elapsed());
        late.join();
        EXPECT_GE(clock.elapsed(), 999);
    }
    EXPECT_LT(shortest, 1400);
}

Frame frameOf(const Bytes& bytes) {
    Frame frame = Frame::empty();
    std::copy(bytes.begin(), bytes.end(), frame.data);
    frame.size = uint32_t(bytes.size());
    return frame;
}

TEST(ProtocolVersion, ShortAndLongRepliesAndUnknownTypes) {
    for (size_t size : {0u, 1u, 4u, 5u, 6u}) {
        Frame reply = frameOf({0x01, 0x05, 0x01, 0x15, 0x41, 0x07, 0x00});
        reply.size = uint32_t(size);
        ProtocolVersion version = ProtocolVersion::fromFrame(reply);
        EXPECT_EQ(version.length(), 0) << size;
        EXPECT_EQ(version.libraryType(), 0) << size;
    }
    Bytes longer = {0x01, 0x00, 0x01, 0x15};
    for (int i = 0; i < 30; ++i)
        longer.push_back(uint8_t('a' + i % 26));
    longer.insert(longer.end(), {0x00, 0x07, 0x00});
    longer[1] = uint8_t(longer.size() - 2);
    ProtocolVersion version = ProtocolVersion::fromFrame(frameOf(longer));
    EXPECT_EQ(version.text(), StringView("abcdefghijklmnopqrstuvwx"));
    EXPECT_EQ(version.libraryType(), 7);
    for (uint8_t type : {0, 8, 200})
        EXPECT_EQ(libraryTypeName(ProtocolVersion("x", 1, type)), StringView("Unknown library type")) << type;
}

// A reply without text is no version: the request is sent again, five times in all.
TEST(SerialAPI, AVersionWithoutTextIsAskedForAgain) {
    Link link([](const Bytes& got, size_t) {
        return got == GET_VERSION ? ScriptedPeer::frame(0x01, 0x15, {0x00, 0x07}) : Bytes();
    });
    SerialAPI api(link.chip, false, false);
    EXPECT_EQ(api.getVersion().length(), 0);
    EXPECT_EQ(link.peer.count(GET_VERSION), 5u);
}

TEST(SerialAPI, ABadChecksumIsNakedAndTheRepetitionAcked) {
    Link link([](const Bytes& got, size_t) {
        Bytes damaged = VERSION_REPLY;
        damaged[8] ^= 0x20;
        return got == GET_VERSION ? damaged : got == Bytes{NAK} ? VERSION_REPLY : Bytes();
    });
    SerialAPI api(link.chip, false, false);
    EXPECT_EQ(api.getVersion().text(), StringView("Z-Wave 4.61"));
    link.peer.waitFor(3);
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{GET_VERSION, {NAK}, {ACK}}));
}

// Without a reset pin the connection soft-resets the module, when allowed, and waits for it to start.
TEST(SerialAPI, SoftResetWaitsForTheStartedNotification) {
    Link link([](const Bytes& got, size_t) {
        return got.size() > 3 && got[3] == 0x08 ? ScriptedPeer::frame(0x00, 0x0A, {0x01, 0x00}) : Bytes();
    });
    SerialAPI api(link.chip, true, false);
    EXPECT_EQ(link.peer.received().front(), (Bytes{0x01, 0x03, 0x00, 0x08, 0xf4}));
    EXPECT_TRUE(api.resetChip(true, false, 5000));
    EXPECT_TRUE(api.resetChip(false, true, 5000));
    EXPECT_FALSE(api.resetChip(false, false, 5000));
    link.peer.waitFor(4);
    EXPECT_EQ(link.peer.count({0x08}, 3), 2u);
    EXPECT_EQ(link.peer.count({ACK}), 2u);
}

TEST(SerialAPI, VerboseDumpsEveryWriteAndRead) {
    Link link([](const Bytes& got, size_t) { return got == GET_VERSION ? VERSION_REPLY : Bytes(); });
    SerialAPI api(link.chip, false, true);
    api.getVersion();
    api.drain(20);
    EXPECT_EQ(link.console.lines(),
              (std::vector<std::string>{"Sending: <01 03 00 15 e9>",
                                        "Recving: <01 10 01 15 5a 2d 57 61 76 65 20 34 2e 36 31 00 01 95>",
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
    Link failing(setDefaultAnsweredOn(0));
    SerialAPI api(failing.chip, false, false);
    EXPECT_FALSE(api.eraseNVM(32));
    EXPECT_EQ(failing.peer.received().front(), (Bytes{0x01, 0x04, 0x00, 0x42, 0x07, 0xbe}));
    EXPECT_EQ(failing.peer.count({0x42}, 3), 33u);
    std::vector<std::string> status = emutest::messageLines(failing.console.stdoutText());
    EXPECT_EQ(emutest::countLines(status, "Erasing NVM (retry "), 32u);
    EXPECT_TRUE(emutest::hasLine(status, "  0.00% Sector  0/63 addr=0x000000 Erasing NVM (retry 32 of 32)"));

    Link lastChance(setDefaultAnsweredOn(33));
    SerialAPI second(lastChance.chip, false, false);
    EXPECT_TRUE(second.eraseNVM(32));
    EXPECT_EQ(lastChance.peer.count({0x42}, 3), 33u);
    serial_api::testing::setEraseDrainTime(1000);
}

Bytes reply(uint8_t status, uint8_t length, uint16_t offset, const Bytes& data = {}) {
    Bytes payload = {status, length, uint8_t(offset >> 8), uint8_t(offset)};
    payload.insert(payload.end(), data.begin(), data.end());
    return ScriptedPeer::frame(0x01, 0x2E, payload);
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

// A module that answers every frame with `answer`, and a connection to it.
struct Answering : Link {
    explicit Answering(Bytes answer)
        : Link([answer](const Bytes& got, size_t) { return got.size() > 3 ? answer : Bytes(); }) {}
    SerialAPI api{chip, false, false};
};

// Each reply, given to every request, and the message of the exchange it ends.
using FaultCase = std::pair<Bytes, std::string>;

TEST(NVMExchange, FaultyReadRepliesRaise) {
    const FaultCase cases[] = {
        {ScriptedPeer::frame(0x01, 0x2E, {0x00, 0x00, 0x00}), "invalid nvm read response from chip"},
        {reply(1, 0, 0), "nvm read error"},
        {reply(7, 0, 0), "invalid nvm read response from chip"},
        {reply(0, 3, 0, {0xAA, 0xBB}), "nvm buffer in response shorter than specified in header"},
        {reply(0, 5, 0, {1, 2, 3, 4, 5}), "local nvm buffer overflow"},
    };
    for (const auto& [answer, message] : cases) {
        Answering link(answer);
        uint8_t buffer[4];
        EXPECT_EQ(messageOf([&] { readChunk(link.api, 0, Span(buffer)); }), message);
    }
    // A read that never advances raises instead of asking forever.
    Answering stuck(reply(0, 0, 0));
    uint8_t buffer[64];
    EXPECT_EQ(messageOf([&] { readAll(stuck.api, Span(buffer)); }), "invalid nvm read response from chip");
    // An NVM larger than the caller's buffer is refused once the open reports its size.
    Answering large(reply(0, 0, 16384));
    uint8_t small[16383];
    EXPECT_EQ(messageOf([&] { backupNVM(large.api, Span(small)); }), "NVM is larger than supplied buffer");
}

TEST(NVMExchange, FaultyWriteRepliesRaise) {
    const FaultCase cases[] = {
        {ScriptedPeer::frame(0x01, 0x2E, {0x00, 0x04}), "invalid nvm write response from chip"},
        {reply(2, 4, 0), "invalid nvm write response from chip"},
        {reply(0, 4, 64), "nvm write at unexpected offset"},
        {reply(255, 4, 0), "nvm write error"},
        {reply(0, 0, 0), "unexpected write size"},
    };
    const uint8_t image[] = {1, 2, 3, 4};
    for (const auto& [answer, message] : cases) {
        Answering link(answer);
        EXPECT_EQ(messageOf([&] { writeAll(link.api, View(image, 4)); }), message);
    }
    Answering silent{Bytes()};
    EXPECT_EQ(messageOf([&] { writeChunk(silent.api, 4, View(image, 4)); }), "empty NVM write");
    // Past the 16-bit wire offset a write would land at the start of the NVM instead.
    std::vector<uint8_t> large(65600, 0x5A);
    EXPECT_EQ(messageOf([&] { writeChunk(silent.api, 65536, View(large.data(), large.size())); }),
              "NVM image too large");
    // A restore without an open connection is refused before anything else.
    ConsoleCapture console;
    Chip closed("/nonexistent/tty", ChipMode::Run);
    SerialAPI api(closed, false, false);
    EXPECT_THROW(restoreNVM(api, View(image, 4), 3), std::invalid_argument);
}

// `length` bytes of 0x5A followed by `zeros` zero bytes.
std::vector<uint8_t> image(size_t length, size_t zeros) {
    std::vector<uint8_t> bytes(length, 0x5A);
    bytes.resize(length + zeros, 0);
    return bytes;
}

View viewOf(const std::vector<uint8_t>& bytes) {
    return View(bytes.data(), bytes.size());
}

TEST(NVMSizeRules, MessagesInTheSingularAndAtTheBoundaries) {
    struct Case {
        size_t dataBytes, zeroBytes;
        uint32_t nvmSize;
        size_t written;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {100, 0, 16384, 100, {}},
        {0,
         16385,
         16384,
         16384,
         {"Info: Truncating NVM image from 16385 to 16384 bytes, discarding 1 of 16385 trailing "
          "zero-bytes."}},
        {1, 1, 1, 1, {"Info: Truncating NVM image from 2 to 1 byte, discarding 1 of 1 trailing zero-byte."}},
        {2,
         1,
         1,
         2,
         {"Warning: NVM image (3 bytes) is too big for NVM (1 byte). Still too big by 1 byte, after "
          "truncating "
          "to 2 bytes, by discarding all 1 trailing zero-byte.",
          "Trying to write anyway, and hoping for the best."}},
    };
    for (const Case& c : cases) {
        ConsoleCapture console;
        std::vector<uint8_t> bytes = image(c.dataBytes, c.zeroBytes);
        EXPECT_EQ(nvmWriteLength(viewOf(bytes), c.nvmSize), c.written) << bytes.size();
        EXPECT_EQ(console.lines(), c.lines);
    }

    ConsoleCapture console;
    std::vector<uint8_t> two = image(2, 0);
    EXPECT_EQ(keptOfNVMRead(viewOf(two), 1).size(), 2u);
    EXPECT_EQ(console.lines(),
              std::vector<std::string>{"Warning: got more than expected! Got EOF after 2 bytes, "
                                       "but NVM size was reported to be 1 byte"});

    // Zero padding is cut before an image is written, so it does not count against the wire offset.
    EXPECT_NO_THROW(checkImageFitsWireOffsets(viewOf(image(65536, 65536))));
    EXPECT_THROW(checkImageFitsWireOffsets(viewOf(image(65537, 10))), nvm_io_exception);
}

} // namespace
