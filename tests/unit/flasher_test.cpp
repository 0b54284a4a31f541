// The programming interface against a scripted module, for what the emulator cannot show: replies
// that are wrong in one byte, busy states that never end, a signal between commands, late NVR
// answers and the refusals before anything is sent. Sector shapes, sector and run retries, enable
// retries and the NVR dump run against the emulator (tests/e2e/flash_e2e_test.cpp).
#include "../support/FlasherFixture.hpp"

#include <algorithm>
#include <csignal>

namespace {

using Bytes = ProgrammingPeer::Bytes;
using Command = ProgrammingPeer::Command;

constexpr uint8_t ENABLE = 0xac;
constexpr uint8_t CHECK_STATE = 0x7f;
constexpr uint8_t ERASE = 0x0b;
constexpr uint8_t CRC = 0xc3;
constexpr uint8_t READ_NVR = 0xf2;
const Bytes STILL_BUSY = {0x7f, 0xfe, 0x00, 0x08};

// An image with a little data in a few sectors, so that a whole run stays quick.
Bytes sparseImage() {
    Bytes image(FLASH_SIZE, 0xFF);
    for (unsigned sector : {0u, 5u, 17u, 63u})
        for (size_t i = 0; i < 40; ++i)
            image[sector * SECTOR_SIZE + 30 + i] = uint8_t(sector + i);
    return image;
}

View viewOf(const Bytes& bytes) {
    return View(bytes.data(), bytes.size());
}

class FlasherTest : public FlasherFixture {};

TEST_F(FlasherTest, EnableAnsweredWithAWrongLastByteCountsAsNoAnswerAndNothingElseIsSent) {
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        return c[0] == ENABLE ? std::optional<Bytes>(Bytes{0xac, 0x53, 0xaa, 0x00}) : std::nullopt;
    });
    Flasher flasher(chip);
    EXPECT_FALSE(flasher.isEnabled());
    EXPECT_EQ(peer.count(ENABLE), 11u);
    EXPECT_EQ(occurrences(messages(), "Response: "), 1u);
    EXPECT_NE(messages().find("Response: <ac 53 aa 00>\nExpected: <ac 53 aa 55>\n"), std::string::npos);
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_EQ(peer.commands().size(), 11u);
}

TEST_F(FlasherTest, AModuleThatStaysBusyEndsTheWaitAsAFailureAfterTheLimit) {
    flasher::testing::setBusyLimits({300, 10000});
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        return c[0] == CHECK_STATE ? std::optional<Bytes>(STILL_BUSY) : std::nullopt;
    });
    TimeoutClock clock;
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_NE(messages().find(" Sent: <7f fe 00 00>\nRecvd: <7f fe 00 08>\n"
                              "Error: Flash state machine still busy after 300 ms\n"),
              std::string::npos);
    // The interface itself is still usable: the next wait succeeds once the module is idle.
    peer.setFault(nullptr);
    EXPECT_TRUE(flasher.waitForFMS());
}

TEST_F(FlasherTest, AStuckSectorEraseIsLeftToTheSectorRetry) {
    flasher::testing::setBusyLimits({100, 500});
    Flasher& flasher = enabledFlasher();
    bool stuck = false, once = false;
    peer.setFault([&stuck, &once](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == ERASE && c[1] == 2 && !once)
            stuck = once = true;
        else if (c[0] != CHECK_STATE)
            stuck = false;
        return stuck && c[0] == CHECK_STATE ? std::optional<Bytes>(STILL_BUSY) : std::nullopt;
    });
    EXPECT_TRUE(flasher.flash(viewOf(sparseImage()), 0));
    EXPECT_EQ(peer.count(ERASE, 2), 2u);
    EXPECT_NE(messages().find("Error: Flash state machine still busy after 100 ms\n"), std::string::npos);
}

TEST_F(FlasherTest, ASectorGivesUpWhenTheRestartFailsFiveTimes) {
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == ERASE)
            return Bytes{0x0b, 0x00, 0x00, 0x00};
        if (c[0] == ENABLE)
            return Bytes{0xac, 0x53, 0xaa, 0x00};
        return std::nullopt;
    });
    EXPECT_FALSE(flasher.flash(viewOf(sparseImage()), 0));
    EXPECT_FALSE(flasher.isEnabled());
    EXPECT_EQ(peer.count(ERASE), 1u);
    EXPECT_EQ(peer.count(ENABLE), 5u * 11u);
    EXPECT_EQ(occurrences(messages(), "Expected: <ac 53 aa 55>"), 5u);
    EXPECT_NE(console.stdoutText().find("Retrying chip restart in: 0.3s"), std::string::npos);
    EXPECT_EQ(peer.count(CRC), 0u);
}

TEST_F(FlasherTest, ShortImagesAreRefusedBeforeAnythingIsSent) {
    Flasher& flasher = enabledFlasher();
    Bytes image(FLASH_SIZE - 1, 0x00);
    EXPECT_FALSE(flasher.flash(viewOf(image), 2));
    EXPECT_TRUE(peer.commands().empty());
    EXPECT_NE(messages().find("too small"), std::string::npos);
}

TEST_F(FlasherTest, CrcCheckBusyTwiceThenPassed) {
    Flasher& flasher = enabledFlasher();
    peer.queueStates({0x08, 0x08});
    TimeoutClock clock;
    EXPECT_TRUE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 2000);
    EXPECT_EQ(peer.count(CHECK_STATE), 3u);
    EXPECT_TRUE(lastStatus().ends_with(" Done"));
    EXPECT_EQ(messages(), "");
}

TEST_F(FlasherTest, ACrcCheckThatStaysBusyFailsAfterTheLimit) {
    flasher::testing::setBusyLimits({2000, 500});
    Flasher& flasher = enabledFlasher();
    peer.queueCrcVerdicts({0x08});
    TimeoutClock clock;
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_EQ(messages(), " Sent: <7f fe 00 00>\nRecvd: <7f fe 00 08>\n"
                          "Error: CRC check still busy after 500 ms\n");
}

// The signal is taken by the peer's thread, so only the flag tells the flasher about it.
TEST_F(FlasherTest, CancellationEndsTheBusyAndCrcWaitsAtOnce) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t index) -> std::optional<Bytes> {
        if (c[0] != CHECK_STATE)
            return std::nullopt;
        if (index == 2)
            raise(SIGINT);
        return STILL_BUSY;
    });
    // The signal lands on the module's thread here, so the tool sees it either at its next look at
    // the flag (false) or through the wake-up of its next wait (an interrupted poll).
    auto endsCancelled = [](auto wait) {
        try {
            return !wait();
        } catch (const RawIO::Exception& e) {
            return e.error == EINTR;
        }
    };
    TimeoutClock clock;
    EXPECT_TRUE(endsCancelled([&] { return flasher.waitForFMS(); }));
    EXPECT_LT(clock.elapsed(), 500);
    for (int i = 0; i < 100 && peer.count(CHECK_STATE) < 3; ++i)
        usleep(1000);
    EXPECT_EQ(peer.count(CHECK_STATE), 3u);
    EXPECT_EQ(console.stderrText(), "");

    RawIO::testing::clearCancellation();
    peer.clearCommands();
    peer.queueCrcVerdicts({0x08});
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == CHECK_STATE)
            raise(SIGINT);
        return std::nullopt;
    });
    clock = TimeoutClock();
    EXPECT_TRUE(endsCancelled([&] { return flasher.crcCheck(); }));
    EXPECT_LT(clock.elapsed(), 300);
    // The module records a command after its hook ran; give its thread the moment it needs.
    for (int i = 0; i < 100 && peer.count(CHECK_STATE) == 0; ++i)
        usleep(1000);
    EXPECT_EQ(peer.count(CHECK_STATE), 1u);
}

TEST_F(FlasherTest, EveryCommandAfterASignalReturnsFalseWithoutWriting) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    raise(SIGINT);
    ASSERT_TRUE(RawIO::cancelRequested());
    static uint8_t image[131072];
    std::fill(std::begin(image), std::end(image), 0x5a);
    const uint8_t three[3] = {1, 2, 3};
    uint8_t nvr[256];
    FlashJob job{&flasher, View(image, sizeof image), 0};
    EXPECT_FALSE(flasher.enableInterface());
    EXPECT_FALSE(flasher.restart());
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_FALSE(flasher.eraseSector(0));
    EXPECT_FALSE(flasher.writeSram(0, 1));
    EXPECT_FALSE(flasher.continueWrite(three));
    EXPECT_FALSE(flasher.writeFlashSector(0));
    EXPECT_FALSE(flasher.writeSectorData(View(image, sizeof image), 0));
    EXPECT_FALSE(flasher.writeSector(job));
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_FALSE(flasher.flash(View(image, sizeof image), 2));
    EXPECT_TRUE(flasher.readNVR(nvr).empty());
    usleep(50000);
    EXPECT_TRUE(peer.commands().empty());
    EXPECT_EQ(console.stderrText(), "");
}

TEST(CheckResponse, AcceptsOnlyFourEqualBytesAndReportsEveryMismatch) {
    ConsoleCapture console;
    const uint8_t command[4] = {0x04, 0x00, 0x64, 0x5a};
    const uint8_t longer[5] = {0x04, 0x00, 0x64, 0x5a, 0x00};
    const uint8_t other[4] = {0x04, 0x00, 0x64, 0x5b};
    EXPECT_TRUE(checkResponse(command, longer));
    EXPECT_TRUE(console.stderrText().empty());
    EXPECT_FALSE(checkResponse(longer, command));
    EXPECT_FALSE(checkResponse(View(command, 3), command));
    EXPECT_FALSE(checkResponse(other, command));
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"Response: <04 00 64 5a 00>", "Expected: <04 00 64 5a>", "",
                                        "Response: <04 00 64>", "Expected: <04 00 64 5a>", "",
                                        "Response: <04 00 64 5b>", "Expected: <04 00 64 5a>", ""}));
}

// A late answer for the previous address arrives before the right one: it is rejected, and the
// retry starts from an empty input, so the reads that follow are not one reply behind.
TEST_F(FlasherTest, NvrALateAnswerForThePreviousAddressIsRejectedAndTheInputEmptied) {
    Flasher& flasher = enabledFlasher();
    bool late = false;
    const uint8_t eighth = peer.nvrContents()[8];
    peer.setFault([&late, eighth](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[2] != 8 || late)
            return std::nullopt;
        late = true;
        return Bytes{0xf2, 0x00, 0x07, 0x99, 0xf2, 0x00, 0x08, eighth};
    });
    uint8_t into[NVR_SIZE];
    View nvr = flasher.readNVR(into);
    ASSERT_EQ(nvr.size(), NVR_SIZE);
    EXPECT_EQ(Bytes(nvr.begin(), nvr.end()), peer.nvrContents());
    EXPECT_EQ(peer.count(READ_NVR), NVR_SIZE + 1);
    EXPECT_EQ(messages(), " Sent: <f2 00 08 ff>\nRecvd: <f2 00 07 99>\n");
}

TEST_F(FlasherTest, NvrThatStopsAnsweringAt100LeavesAnEmptyResultAndTheBytesRead) {
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        return c[2] >= 100 ? std::optional<Bytes>(Bytes{}) : std::nullopt;
    });
    uint8_t into[NVR_SIZE];
    std::fill(std::begin(into), std::end(into), 0xEE);
    View nvr = flasher.readNVR(into);
    EXPECT_TRUE(nvr.empty());
    EXPECT_EQ(nvr.data(), nullptr);
    EXPECT_EQ(Bytes(into, into + 100), Bytes(peer.nvrContents().begin(), peer.nvrContents().begin() + 100));
    EXPECT_TRUE(std::all_of(into + 100, std::end(into), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(peer.count(READ_NVR, 0x00), 104u);
    EXPECT_EQ(occurrences(messages(), " Sent: <f2 00 64 ff>\nRecvd: <>\n"), 4u);
}

TEST_F(FlasherTest, NvrIntoABufferOfTwoHundredFiftyFiveBytesIsRefused) {
    Flasher& flasher = enabledFlasher();
    uint8_t into[NVR_SIZE - 1];
    EXPECT_TRUE(flasher.readNVR(into).empty());
    usleep(20000);
    EXPECT_TRUE(peer.commands().empty());
    EXPECT_EQ(messages(), "Buffer too small for readNVR()\n");
}

} // namespace
