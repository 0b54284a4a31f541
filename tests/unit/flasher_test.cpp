#include "../support/FlasherFixture.hpp"

#include <csignal>

namespace {

using Bytes = ProgrammingPeer::Bytes;
using Command = ProgrammingPeer::Command;

constexpr uint8_t ENABLE = 0xac;
constexpr uint8_t CHECK_STATE = 0x7f;

class FlasherTest : public FlasherFixture {};

TEST_F(FlasherTest, EnableAnsweredOnTheThirdTryPausesTwiceAndStaysQuiet) {
    peer.setFault([](const Command& c, size_t index) -> std::optional<Bytes> {
        if (c[0] == ENABLE && index < 2)
            return Bytes{0x00, 0x11, 0x22, 0x33};
        return std::nullopt;
    });
    TimeoutClock clock;
    Flasher flasher(chip);
    EXPECT_TRUE(flasher.isEnabled());
    EXPECT_EQ(peer.count(ENABLE), 3u);
    EXPECT_GE(clock.elapsed(), 200);
    EXPECT_EQ(console.stderrText(), "");
}

TEST_F(FlasherTest, EnableNeverAnsweredSendsElevenTimesAndReportsAnEmptyResponseOnce) {
    peer.setFault([](const Command&, size_t) { return std::optional<Bytes>(Bytes{}); });
    Flasher flasher(chip);
    EXPECT_FALSE(flasher.isEnabled());
    EXPECT_EQ(peer.count(ENABLE), 11u);
    std::string err = messages();
    EXPECT_EQ(occurrences(err, "Response: "), 1u);
    EXPECT_NE(err.find("Response: <>\n"), std::string::npos);
    EXPECT_NE(err.find("Expected: <ac 53 aa 55>\n"), std::string::npos);
}

TEST_F(FlasherTest, EnableAnsweredWithAWrongLastByteCountsAsNoAnswer) {
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == ENABLE)
            return Bytes{0xac, 0x53, 0xaa, 0x00};
        return std::nullopt;
    });
    Flasher flasher(chip);
    EXPECT_FALSE(flasher.isEnabled());
    EXPECT_EQ(peer.count(ENABLE), 11u);
    std::string err = messages();
    EXPECT_EQ(occurrences(err, "Response: "), 1u);
    EXPECT_NE(err.find("Response: <ac 53 aa 00>\nExpected: <ac 53 aa 55>\n"), std::string::npos);
    // Nothing else is sent by a flasher that was never enabled.
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_EQ(peer.commands().size(), 11u);
}

TEST_F(FlasherTest, WaitForFMSPollsUntilTheBusyBitClears) {
    Flasher& flasher = enabledFlasher();
    peer.queueStates({0x08, 0x08, 0x00});
    TimeoutClock clock;
    EXPECT_TRUE(flasher.waitForFMS());
    EXPECT_EQ(peer.count(CHECK_STATE), 3u);
    EXPECT_GE(clock.elapsed(), 10);
    EXPECT_EQ(console.stderrText(), "");
}

TEST_F(FlasherTest, WaitForFMSWithoutAnswerDumpsTheExchange) {
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == CHECK_STATE)
            return Bytes{0x7f, 0xfe};
        return std::nullopt;
    });
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_EQ(messages(), " Sent: <7f fe 00 00>\n"
                          "Recvd: <7f fe>\n");
}

TEST_F(FlasherTest, AModuleThatStaysBusyEndsTheWaitAsAFailureAfterTheLimit) {
    flasher::testing::setBusyLimits({300, 10000});
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == CHECK_STATE)
            return Bytes{0x7f, 0xfe, 0x00, 0x08};
        return std::nullopt;
    });
    TimeoutClock clock;
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_LT(clock.elapsed(), 1000);
    std::string err = messages();
    EXPECT_NE(err.find(" Sent: <7f fe 00 00>\nRecvd: <7f fe 00 08>\n"
                       "Error: Flash state machine still busy after 300 ms\n"),
              std::string::npos);
    // The interface itself is still usable: the next wait succeeds once the module is idle.
    peer.setFault(nullptr);
    EXPECT_TRUE(flasher.waitForFMS());
}

TEST_F(FlasherTest, CancellationEndsABusyWaitAtOnce) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    // The signal is taken by the peer's thread, so only the flag tells this thread about it.
    peer.setFault([](const Command& c, size_t index) -> std::optional<Bytes> {
        if (c[0] != CHECK_STATE)
            return std::nullopt;
        if (index == 2)
            raise(SIGINT);
        return Bytes{0x7f, 0xfe, 0x00, 0x08};
    });
    TimeoutClock clock;
    EXPECT_FALSE(flasher.waitForFMS());
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_EQ(peer.count(CHECK_STATE), 3u);
    EXPECT_EQ(console.stderrText(), "");
}

TEST_F(FlasherTest, EveryCommandAfterASignalReturnsFalseWithoutWriting) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    raise(SIGINT);
    ASSERT_TRUE(RawIO::cancelRequested());
    uint8_t image[131072];
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

} // namespace
