// The Serial API link against a scripted module, for what the emulator never sends: frames and
// version replies that are malformed, a damaged frame to NAK, stale callbacks; and the attempt
// counts and waits of the link, which the end-to-end runs only see recover.
#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Frame.hpp"
#include "zwave/ProtocolVersion.hpp"
#include "zwave/SerialAPI.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/ScriptedPeer.hpp"

#include <gtest/gtest.h>

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
    EXPECT_EQ(bytesOf(readFrame(link.chip, 500)), VERSION_REPLY);

    // A frame cut short ends as nothing once the time is over; the next frame stands on its own.
    link.peer.send({0x01, 0x05, 0x01, 0x15, 0x41});
    TimeoutClock clock;
    EXPECT_EQ(readFrame(link.chip, 200).size, 0u);
    EXPECT_GE(clock.elapsed(), 199);
    link.peer.send(VERSION_REPLY);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 500)), VERSION_REPLY);

    // A false start late in the read does not give the search a fresh timeout (ending at 1400).
    std::thread late([&link] {
        usleep(600 * 1000);
        link.peer.send({0x01, 0x00});
    });
    clock = TimeoutClock();
    EXPECT_EQ(readFrame(link.chip, 800).size, 0u);
    long long elapsed = clock.elapsed();
    late.join();
    EXPECT_GE(elapsed, 799);
    EXPECT_LT(elapsed, 1300);
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
    usleep(50 * 1000);
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{GET_VERSION, {NAK}, {ACK}}));
}

// Without a reset pin the connection soft-resets the module, when allowed, and waits for it to start.
TEST(SerialAPI, SoftResetWaitsForTheStartedNotification) {
    Link link([](const Bytes& got, size_t) {
        return got.size() > 3 && got[3] == 0x08 ? ScriptedPeer::frame(0x00, 0x0A, {0x01, 0x00}) : Bytes();
    });
    SerialAPI api(link.chip, true, false);
    EXPECT_EQ(link.peer.received().front(), (Bytes{0x01, 0x03, 0x00, 0x08, 0xf4}));
    EXPECT_TRUE(api.resetChip(true, false, 500));
    EXPECT_TRUE(api.resetChip(false, true, 500));
    EXPECT_FALSE(api.resetChip(false, false, 500));
    usleep(50 * 1000);
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

} // namespace
