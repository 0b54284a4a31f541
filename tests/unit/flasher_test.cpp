// The programming interface against a scripted module, for what the emulator cannot show: busy
// states at chosen limits, a restart that keeps failing, a signal inside a wait, an NVR answer for
// the wrong address, and the refusals before anything is sent. Sector shapes and retries, enable
// echoes, stuck modules at the real limits, the NVR dump and the CRC verdicts run against the
// emulator (tests/e2e/flash_test.cpp and the fault matrix).
#include "rawio/Cancel.hpp"
#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Flasher.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/ScriptedPeer.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>

namespace {

using Bytes = ScriptedPeer::Bytes;
using Lines = std::vector<std::string>;
// Answers a command in place of the module: nullopt leaves it to the module, an empty reply is silence.
using Fault = std::function<std::optional<Bytes>(const Bytes& command)>;

constexpr uint8_t ENABLE = 0xac, CHECK_STATE = 0x7f, ERASE = 0x0b, CRC = 0xc3, READ_NVR = 0xf2;
const Bytes STILL_BUSY = {0x7f, 0xfe, 0x00, 0x08};

Fault busyPolls(int polls) {
    return [polls](const Bytes& c) mutable {
        return c[0] == CHECK_STATE && polls-- > 0 ? std::optional(STILL_BUSY) : std::nullopt;
    };
}

uint8_t nvrByte(unsigned address) {
    return uint8_t(address * 7 + 3);
}

class FlasherTest : public ::testing::Test {
protected:
    FlasherTest() { setFault(nullptr); }
    ~FlasherTest() override {
        std::signal(SIGINT, SIG_DFL);
        RawIO::testing::clearCancellation();
        flasher::testing::setBusyLimits(DEFAULT_BUSY_LIMITS);
    }

    // The module echoes each command, reports idle or the passed CRC check as its state and
    // answers NVR reads; `fault` speaks first.
    void setFault(Fault fault) {
        peer.setScript([fault, crcPassed = false](const Bytes& c, size_t) mutable {
            if (std::optional<Bytes> reply = fault ? fault(c) : std::nullopt)
                return *reply;
            crcPassed = c[0] == CRC || (crcPassed && c[0] == CHECK_STATE);
            if (c[0] == CHECK_STATE)
                return Bytes{0x7f, 0xfe, 0x00, uint8_t(crcPassed ? 0x02 : 0x00)};
            return c[0] == READ_NVR ? Bytes{0xf2, 0x00, c[2], nvrByte(c[2])} : c;
        });
    }

    // A flasher whose enable was answered, with the enable exchange forgotten.
    Flasher& enabledFlasher() {
        flasherSlot.emplace(chip);
        EXPECT_TRUE(flasherSlot->isEnabled());
        peer.forget();
        return *flasherSlot;
    }

    ScriptedPeer peer{ScriptedPeer::Cut::Commands};
    ConsoleCapture console;
    Chip chip{peer.path(), ChipMode::Programming};
    std::optional<Flasher> flasherSlot;
    std::vector<uint8_t> image = std::vector<uint8_t>(FLASH_SIZE, 0xFF);
};

// A module that stays busy ends the wait as a failure after the limit; the CRC check waits out
// busy states polled once a second, up to its own limit.
TEST_F(FlasherTest, BusyStatesAreWaitedOutUpToTheirLimits) {
    flasher::testing::setBusyLimits({300, 10000});
    Flasher& flasher = enabledFlasher();
    // First, while no late reply of a wait given up can be left in the input.
    setFault(busyPolls(2));
    TimeoutClock clock;
    EXPECT_TRUE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 2000);
    EXPECT_EQ(peer.count({CHECK_STATE}), 3u);
    EXPECT_EQ(emutest::lastStatusWord(console.stdoutText()), "Done");

    setFault(busyPolls(1000000));
    // A doubled limit would end at 600 at the earliest; the shortest of up to eight waits counts.
    long long shortest = 1000000;
    for (int round = 0; round < 8 && shortest >= 600; ++round) {
        TimeoutClock wait;
        EXPECT_FALSE(flasher.waitForFMS());
        EXPECT_GE(wait.elapsed(), 300);
        shortest = std::min(shortest, wait.elapsed());
        Lines lines = console.lines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
                  (Lines{" Sent: <7f fe 00 00>", "Recvd: <7f fe 00 08>",
                         "Error: Flash state machine still busy after 300 ms"}));
    }
    EXPECT_LT(shortest, 600);

    flasher::testing::setBusyLimits({300, 500});
    setFault(busyPolls(1000000));
    clock = TimeoutClock();
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_LT(clock.elapsed(), 10000); // a hang guard
    Lines lines = console.lines();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{" Sent: <7f fe 00 00>", "Recvd: <7f fe 00 08>",
                                                          "Error: CRC check still busy after 500 ms"}));
}

// Each restart after the failed sector gets a wrong enable echo: five restarts of eleven enables,
// then the flash gives up without trying the sector again or checking the CRC.
TEST_F(FlasherTest, ASectorGivesUpWhenTheRestartFailsFiveTimes) {
    Flasher& flasher = enabledFlasher();
    setFault([](const Bytes& c) -> std::optional<Bytes> {
        if (c[0] == ERASE)
            return Bytes{0x0b, 0x00, 0x00, 0x00};
        return c[0] == ENABLE ? std::optional(Bytes{0xac, 0x53, 0xaa, 0x00}) : std::nullopt;
    });
    EXPECT_FALSE(flasher.flash(View(image.data(), image.size()), 0));
    EXPECT_FALSE(flasher.isEnabled());
    EXPECT_EQ(peer.count({ERASE}), 1u);
    EXPECT_TRUE(peer.waitForCount({ENABLE}, 5 * 11)) << "the last enable may reach the peer late";
    EXPECT_EQ(peer.count({ENABLE}), 5u * 11u);
    EXPECT_EQ(peer.count({CRC}), 0u);
    EXPECT_EQ(emutest::countLines(console.lines(), "Expected: <ac 53 aa 55>"), 5u);
    Lines status = emutest::messageLines(console.stdoutText());
    EXPECT_EQ(emutest::countLines(status, "Retrying chip restart in: 0.3s"), 4u);
}

// The signal lands on another thread, so the flasher sees it either through the wake-up of its
// wait (an interrupted poll) or at its next look at the flag (false).
bool endsCancelled(const std::function<bool()>& wait) {
    try {
        return !wait();
    } catch (const RawIO::Exception& e) {
        return e.error == EINTR;
    }
}

// A signal ends the busy waits at once: while the flasher waits for a poll's reply (its poll wakes
// up), or during the CRC check's pause of a second when another thread took it (the flag tells).
TEST_F(FlasherTest, ASignalEndsTheBusyAndCrcWaitsAtOnce) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    setFault([polls = 0](const Bytes& c) mutable -> std::optional<Bytes> {
        if (c[0] == CHECK_STATE && ++polls == 3)
            raise(SIGINT); // on the module's thread, while the flasher waits for this reply
        return c[0] == CHECK_STATE ? std::optional(STILL_BUSY) : std::nullopt;
    });
    TimeoutClock clock;
    EXPECT_THROW(flasher.waitForFMS(), RawIO::Exception);
    EXPECT_LT(clock.elapsed(), 1500); // the busy limit would end it at 2000
    EXPECT_EQ(peer.count({CHECK_STATE}), 3u);

    // The reply to the signalled poll may still be on its way; it must not answer the next command.
    RawIO::testing::clearCancellation();
    usleep(20 * 1000);
    chip.discardInput();
    peer.forget();
    setFault([](const Bytes& c) -> std::optional<Bytes> {
        if (c[0] != CHECK_STATE)
            return std::nullopt;
        std::thread([] {
            usleep(200 * 1000);
            raise(SIGINT);
        }).detach();
        return STILL_BUSY;
    });
    clock = TimeoutClock();
    EXPECT_TRUE(endsCancelled([&] { return flasher.crcCheck(); }));
    EXPECT_LT(clock.elapsed(), 800); // the pause would end at 1000
    EXPECT_EQ(peer.count({CHECK_STATE}), 1u);
    EXPECT_EQ(console.stderrText(), "");
}

// Short images and NVR buffers are refused, and after a signal no command begins.
TEST_F(FlasherTest, RefusalsAndASignalSendNothing) {
    Flasher& flasher = enabledFlasher();
    View whole(image.data(), image.size());
    uint8_t nvr[NVR_SIZE];
    EXPECT_FALSE(flasher.flash(View(image.data(), FLASH_SIZE - 1), 2));
    EXPECT_TRUE(flasher.readNVR(Span(nvr, NVR_SIZE - 1)).empty());
    EXPECT_EQ(console.lines(), (Lines{"Error: Firmware image too small for flash(): 131071 bytes",
                                      "Buffer too small for readNVR()"}));
    RawIO::installCancelHandlers();
    raise(SIGINT);
    const uint8_t three[3] = {1, 2, 3};
    FlashJob job{&flasher, whole, 0};
    // The restart goes last: it leaves the flasher disabled, and a disabled flasher sends nothing.
    EXPECT_FALSE(flasher.waitForFMS() || flasher.eraseSector(0) || flasher.writeSram(0, 1) ||
                 flasher.continueWrite(three) || flasher.writeFlashSector(0) ||
                 flasher.writeSectorData(whole, 0) || flasher.writeSector(job) || flasher.crcCheck() ||
                 flasher.flash(whole, 2) || !flasher.readNVR(nvr).empty() || flasher.enableInterface() ||
                 flasher.restart());
    usleep(50 * 1000);
    EXPECT_EQ(peer.received(), std::vector<Bytes>{});
    EXPECT_EQ(console.lines().size(), 2u);
}

// A late answer for the previous address comes before the right one: it is rejected and the retry
// starts from an empty input, so the reads after it are not one reply behind.
TEST_F(FlasherTest, NvrReadsRejectAnAnswerForAnotherAddress) {
    Flasher& flasher = enabledFlasher();
    setFault([late = true](const Bytes& c) mutable -> std::optional<Bytes> {
        if (c[0] != READ_NVR || c[2] != 8 || !std::exchange(late, false))
            return std::nullopt;
        return Bytes{0xf2, 0x00, 0x07, 0x99, 0xf2, 0x00, 0x08, nvrByte(8)};
    });
    uint8_t into[NVR_SIZE];
    View nvr = flasher.readNVR(into);
    ASSERT_EQ(nvr.size(), NVR_SIZE);
    for (unsigned address = 0; address < NVR_SIZE; ++address)
        ASSERT_EQ(nvr[address], nvrByte(address)) << address;
    EXPECT_EQ(peer.count({READ_NVR}), NVR_SIZE) << "the stale answer is passed over, not asked again";
    EXPECT_EQ(console.lines(), (Lines{" Sent: <f2 00 08 ff>", "Recvd: <f2 00 07 99>"}));
}

} // namespace
