// The programming interface against a scripted module, for what the emulator cannot show: busy
// states at chosen limits and a signal inside a wait or before a command. Sector shapes and retries,
// restarts that fail, enable echoes, stuck modules at the real limits, the NVR dump with its late
// answers and the CRC verdicts run against the emulator (tests/e2e/flash_test.cpp, the fault matrix).
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

constexpr uint8_t CHECK_STATE = 0x7f, CRC = 0xc3;
const Bytes STILL_BUSY = {0x7f, 0xfe, 0x00, 0x08};

Fault busyPolls(int polls) {
    return [polls](const Bytes& c) mutable {
        return c[0] == CHECK_STATE && polls-- > 0 ? std::optional(STILL_BUSY) : std::nullopt;
    };
}

class FlasherTest : public ::testing::Test {
protected:
    FlasherTest() { setFault(nullptr); }
    ~FlasherTest() override {
        std::signal(SIGINT, SIG_DFL);
        RawIO::testing::clearCancellation();
        flasher::testing::setBusyLimits(DEFAULT_BUSY_LIMITS);
    }

    // The module echoes each command and reports idle or the passed CRC check as its state; `fault`
    // speaks first.
    void setFault(Fault fault) {
        peer.setScript([fault, crcPassed = false](const Bytes& c) mutable {
            if (std::optional<Bytes> reply = fault ? fault(c) : std::nullopt)
                return *reply;
            crcPassed = c[0] == CRC || (crcPassed && c[0] == CHECK_STATE);
            if (c[0] == CHECK_STATE)
                return Bytes{0x7f, 0xfe, 0x00, uint8_t(crcPassed ? 0x02 : 0x00)};
            return c;
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
    // A doubled limit would end at 600 at the earliest; the shortest of up to eight waits counts. A
    // wait that ended on a poll left unanswered for a second had the module's thread starved by a busy
    // machine: it does not count, and its late reply is let in and thrown away.
    long long shortest = 1000000;
    for (int round = 0; round < 8 && shortest >= 600; ++round) {
        TimeoutClock wait;
        EXPECT_FALSE(flasher.waitForFMS());
        EXPECT_GE(wait.elapsed(), 300);
        Lines lines = console.lines();
        if (!lines.empty() && lines.back().rfind("Recvd: <", 0) == 0 && wait.elapsed() >= 1000) {
            usleep(500 * 1000);
            chip.discardInput();
            continue;
        }
        shortest = std::min(shortest, wait.elapsed());
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
                  (Lines{" Sent: <7f fe 00 00>", "Recvd: <7f fe 00 08>",
                         "Error: Flash state machine still busy after 300 ms"}));
    }
    EXPECT_LT(shortest, 600);

    flasher::testing::setBusyLimits({300, 500}); // the module stays busy
    clock = TimeoutClock();
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_LT(clock.elapsed(), 10000); // a hang guard
    Lines lines = console.lines();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{" Sent: <7f fe 00 00>", "Recvd: <7f fe 00 08>",
                                                          "Error: CRC check still busy after 500 ms"}));
}

// A signal ends the busy waits at once: while the flasher waits for a poll's reply (its poll wakes
// up), or during the CRC check's pause of a second when another thread took it (the flag tells).
TEST_F(FlasherTest, ASignalEndsTheBusyAndCrcWaitsAtOnceAndNoCommandBeginsAfterIt) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    setFault([polls = 0](const Bytes& c) mutable -> std::optional<Bytes> {
        if (c[0] == CHECK_STATE && ++polls == 3)
            raise(SIGINT); // on the module's thread, while the flasher waits for this reply
        return c[0] == CHECK_STATE ? std::optional(STILL_BUSY) : std::nullopt;
    });
    EXPECT_THROW(flasher.waitForFMS(), RawIO::Exception);
    EXPECT_EQ(peer.count({CHECK_STATE}), 3u); // no poll after the signalled one

    setFault([](const Bytes& c) -> std::optional<Bytes> {
        if (c[0] != CHECK_STATE)
            return std::nullopt;
        std::thread([] {
            usleep(200 * 1000);
            raise(SIGINT);
        }).detach();
        return STILL_BUSY;
    });
    // The pause would end at 1000; the shortest of up to three checks counts.
    long long shortest = 1000000;
    for (int round = 0; round < 3 && shortest >= 800; ++round) {
        // The reply to the signalled poll may still be on its way; it must not answer the next command.
        RawIO::testing::clearCancellation();
        usleep(20 * 1000);
        chip.discardInput();
        peer.forget();
        TimeoutClock clock;
        // The signal lands on another thread, so the flasher sees it either through the wake-up of
        // its wait (an interrupted poll) or at its next look at the flag (false).
        try {
            EXPECT_FALSE(flasher.crcCheck());
        } catch (const RawIO::Exception& e) {
            EXPECT_EQ(e.error, EINTR);
        }
        shortest = std::min(shortest, clock.elapsed());
        EXPECT_EQ(peer.count({CHECK_STATE}), 1u);
    }
    EXPECT_LT(shortest, 800);

    // After a signal no command begins. The restart goes last: it leaves the flasher disabled, and a
    // disabled flasher sends nothing.
    ASSERT_TRUE(flasher.isEnabled());
    raise(SIGINT);
    peer.forget();
    View whole(image.data(), image.size());
    uint8_t nvr[NVR_SIZE];
    const uint8_t three[3] = {1, 2, 3};
    FlashJob job{&flasher, whole, 0};
    EXPECT_FALSE(flasher.waitForFMS() || flasher.eraseSector(0) || flasher.writeSram(0, 1) ||
                 flasher.continueWrite(three) || flasher.writeFlashSector(0) ||
                 flasher.writeSectorData(whole, 0) || flasher.writeSector(job) || flasher.crcCheck() ||
                 flasher.flash(whole, 2) || !flasher.readNVR(nvr).empty() || flasher.enableInterface() ||
                 flasher.restart());
    usleep(50 * 1000);
    EXPECT_EQ(peer.received(), std::vector<Bytes>{});
    EXPECT_EQ(console.stderrText(), "");
}

} // namespace
