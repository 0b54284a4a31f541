// The Serial API link against a scripted peer, where exact bytes, attempt counts and timing
// matter. Recovery from an unrelated frame, a dropped or late reply and garbage before frames is a
// fault-matrix case against the emulator; a tty-only run that sends nothing is a job case.
#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Frame.hpp"
#include "zwave/SerialAPI.hpp"

#include "../support/ScriptedPeer.hpp"
#include "support/ConsoleCapture.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Bytes = ScriptedPeer::Bytes;

const Bytes VERSION_REPLY = {0x01, 0x10, 0x01, 0x15, 'Z', '-', 'W',  'a',  'v',
                             'e',  ' ',  '4',  '.',  '6', '1', 0x00, 0x01, 0x95};
const Bytes GET_VERSION = {0x01, 0x03, 0x00, 0x15, 0xe9};

Bytes bytesOf(const Frame& frame) {
    return Bytes(frame.data, frame.data + frame.size);
}

// A peer, the chip on its pty (no reset pin) and the console captured.
struct Link {
    explicit Link(ScriptedPeer::Script script = {})
        : peer(std::move(script)), chip(peer.path(), ChipMode::Run) {}
    ScriptedPeer peer;
    Chip chip;
    ConsoleCapture console;
};

void settle() {
    usleep(50 * 1000);
}

TEST(ReadFrame, SkipsStrayBytesAndLeavesTheRestBufferedUntilAskedWithTime) {
    Link link;
    link.peer.send(ScriptedPeer::join({0x7f, 0x06}, VERSION_REPLY));
    settle();
    EXPECT_EQ(bytesOf(readFrame(link.chip, 500)), Bytes{0x06});
    ASSERT_FALSE(link.chip.readBuffer.empty());
    EXPECT_EQ(readFrame(link.chip, 0).size, 0u);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 500)), VERSION_REPLY);
}

TEST(ReadFrame, AZeroLengthStartIsSkippedWithinTheSameTime) {
    Link link;
    link.peer.send(ScriptedPeer::join({0x01, 0x00}, VERSION_REPLY));
    EXPECT_EQ(bytesOf(readFrame(link.chip, 500)), VERSION_REPLY);

    // A false start late in the read does not give the search for the next start a fresh timeout.
    std::thread late([&link] {
        usleep(600 * 1000);
        link.peer.send({0x01, 0x00});
    });
    TimeoutClock clock;
    EXPECT_EQ(readFrame(link.chip, 1000).size, 0u);
    long long elapsed = clock.elapsed();
    late.join();
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 1500); // a fresh timeout after the false start would end at 1600
}

TEST(ReadFrame, AnIncompleteFrameIsDroppedWithinTheTimeout) {
    Link link;
    link.peer.send({0x01, 0x05, 0x01, 0x15, 0x41});
    TimeoutClock clock;
    Frame frame = readFrame(link.chip, 200);
    EXPECT_EQ(frame.size, 0u);
    EXPECT_GE(clock.elapsed(), 190);
    EXPECT_LT(clock.elapsed(), 400);
    link.peer.send(VERSION_REPLY);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 500)), VERSION_REPLY);
}

TEST(SerialAPI, SoftResetWaitsForTheStartedNotification) {
    Link link([](const Bytes& got) {
        return got.size() > 3 && got[3] == 0x08 ? ScriptedPeer::request(0x0A, {0x01, 0x00}) : Bytes();
    });
    SerialAPI api(link.chip, true, false);
    EXPECT_EQ(link.peer.received().front(), (Bytes{0x01, 0x03, 0x00, 0x08, 0xf4}));
    EXPECT_TRUE(api.softReset(500));
    EXPECT_TRUE(api.resetChip(true, false, 500));
    settle();
    EXPECT_EQ(link.peer.framesWith(0x08), 3u);
    EXPECT_EQ(link.peer.controls(ACK), 3u);
    EXPECT_TRUE(api.resetChip(false, true, 500));
    EXPECT_FALSE(api.resetChip(false, false, 500));
    EXPECT_EQ(link.peer.framesWith(0x08), 3u);
}

TEST(SerialAPI, ABadChecksumIsNakedAndTheRepetitionAcked) {
    Link link([](const Bytes& got) {
        if (got == GET_VERSION) {
            Bytes damaged = VERSION_REPLY;
            damaged[8] ^= 0x20;
            return damaged;
        }
        return got == Bytes{NAK} ? VERSION_REPLY : Bytes();
    });
    SerialAPI api(link.chip, false, false);
    EXPECT_EQ(api.getVersion().text(), StringView("Z-Wave 4.61"));
    settle();
    EXPECT_EQ(link.peer.received(), (std::vector<Bytes>{GET_VERSION, {NAK}, {ACK}}));
}

TEST(SerialAPI, VersionOnTheThirdAttempt) {
    Link link([count = 0](const Bytes& got) mutable {
        return got == GET_VERSION && ++count == 3 ? VERSION_REPLY : Bytes();
    });
    SerialAPI api(link.chip, false, false);
    TimeoutClock clock;
    EXPECT_EQ(api.getVersion().libraryType(), 1);
    EXPECT_GE(clock.elapsed(), 2 * 1500);
    EXPECT_EQ(link.peer.framesWith(0x15), 3u);
}

TEST(SerialAPI, ASilentChipGivesNoVersionAfterFiveAttempts) {
    Link link;
    SerialAPI api(link.chip, false, false);
    TimeoutClock clock;
    ProtocolVersion version = api.getVersion();
    EXPECT_EQ(version.length(), 0);
    EXPECT_EQ(version.libraryType(), 0);
    EXPECT_GE(clock.elapsed(), 5 * 1500);
    EXPECT_LT(clock.elapsed(), 5 * 1500 + 500);
    EXPECT_EQ(link.peer.framesWith(0x15), 5u);
    EXPECT_EQ(link.console.messages(), "");
}

TEST(SerialAPI, OnlyRequestsAreSentWithRetries) {
    Link link([](const Bytes&) { return ScriptedPeer::response(0x15, {0x00}); });
    SerialAPI api(link.chip, false, false);
    Frame response = Frame::makeRequest(0x15, View());
    response.data[2] = RESPONSE;
    EXPECT_EQ(api.sendWithRetries(response, 3, 200).size, 0u);
    EXPECT_EQ(api.sendWithRetries(Frame::makeRequest(0x15, View()), 0, 200).size, 0u);
    settle();
    EXPECT_TRUE(link.peer.received().empty());
    EXPECT_EQ(api.sendWithRetries(Frame::makeRequest(0x15, View()), 3, 200).functionId(), 0x15);
}

TEST(SerialAPI, VerboseDumpsEveryWriteAndRead) {
    Link link([](const Bytes& got) { return got == GET_VERSION ? VERSION_REPLY : Bytes(); });
    {
        SerialAPI quiet(link.chip, false, false);
        quiet.getVersion();
        quiet.drain(20);
        EXPECT_EQ(link.console.messages(), "");
    }
    SerialAPI api(link.chip, false, true);
    api.getVersion();
    api.drain(20);
    EXPECT_EQ(link.console.messages(), "Sending: <01 03 00 15 e9>\n"
                                       "Recving: <01 10 01 15 5a 2d 57 61 76 65 20 34 2e 36 31 00 01 95>\n"
                                       "Sending: <06>\n"
                                       "Recving: <>\n");
}

// Set default answered with a stale callback id until the `answerOn`th request.
ScriptedPeer::Script setDefaultAnsweredOn(int answerOn) {
    return [count = 0, answerOn](const Bytes& got) mutable {
        if (got.size() < 4 || got[3] != 0x42)
            return Bytes();
        return ScriptedPeer::request(0x42, {uint8_t(++count == answerOn ? 0x07 : 0x05), 0x00});
    };
}

struct QuickEraseDrain {
    QuickEraseDrain() { serial_api::testing::setEraseDrainTime(5); }
    ~QuickEraseDrain() { serial_api::testing::setEraseDrainTime(1000); }
};

TEST(SerialAPI, SetDefaultNeedsItsCallbackId) {
    Link link(setDefaultAnsweredOn(2));
    SerialAPI api(link.chip, false, false);
    EXPECT_FALSE(api.setDefault());
    EXPECT_TRUE(api.setDefault());
    EXPECT_EQ(link.peer.received().front(), (Bytes{0x01, 0x04, 0x00, 0x42, 0x07, 0xbe}));
}

TEST(SerialAPI, EraseTriesOnceAndThenOncePerRetry) {
    QuickEraseDrain quick;
    Link failing(setDefaultAnsweredOn(0));
    SerialAPI api(failing.chip, false, false);
    EXPECT_FALSE(api.eraseNVM(32));
    EXPECT_EQ(failing.peer.framesWith(0x42), 33u);
    std::string status = failing.console.stdoutText();
    size_t at = status.find("Erasing NVM");
    for (unsigned i = 1; i <= 32; ++i) {
        at = status.find("Erasing NVM (retry " + std::to_string(i) + " of 32)", at);
        ASSERT_NE(at, std::string::npos) << i;
    }
    EXPECT_EQ(status.find("retry 33"), std::string::npos);

    size_t seen = status.size();
    EXPECT_FALSE(api.eraseNVM(0));
    EXPECT_EQ(failing.peer.framesWith(0x42), 34u);
    EXPECT_EQ(failing.console.stdoutText().find("retry", seen), std::string::npos);

    Link lastChance(setDefaultAnsweredOn(33));
    SerialAPI second(lastChance.chip, false, false);
    EXPECT_TRUE(second.eraseNVM(32));
    EXPECT_EQ(lastChance.peer.framesWith(0x42), 33u);
}

} // namespace
