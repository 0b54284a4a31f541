// Cancelling the real tool with a signal: the run ends promptly, says "Cancelled" instead of an
// error, and exits with 1.
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

using namespace emutest;
using Lines = std::vector<std::string>;

TEST(Cancel, InterruptWhileWaitingForASilentChip) {
    Emu emu = Emu::start({.faults = {"boot-fail"}});
    // The tool waits for the started notification that never comes.
    RunResult r = emu.run({"--reset-pin", "17", "--get-version", emu.tty()},
                          SignalPlan{.signal = SIGINT, .afterMs = 400}, 20000);
    EXPECT_EQ(messageLines(r.err), Lines{});
    EXPECT_EQ(lastStatusWord(r.out), "Cancelled");
    EXPECT_EQ(r.exitStatus, 1);
    ASSERT_GE(r.signalledAt, 0);
    EXPECT_LT(r.seconds - r.signalledAt, 1.0);
}

TEST(Cancel, TerminateWhileAMigrationConnectsToReadTheNvm) {
    Emu emu = Emu::start();
    // After the version, the next connection waits for a started notification of the running chip.
    RunResult r = emu.run(
        {"--reset-pin", "17", "--migrate-nvm", "--bridge", emu.tty()},
        SignalPlan{.signal = SIGTERM, .afterMs = 300, .tracePattern = " out frame get-version "}, 20000);
    // The migration leaves without an error line of its own.
    EXPECT_EQ(
        messageLines(r.err),
        (Lines{"-- Starting migration", "Version: Z-Wave 4.62 Static controller library", "-- Reading NVM"}));
    EXPECT_EQ(lastStatusWord(r.out), "Cancelled");
    EXPECT_EQ(r.exitStatus, 1);
    ASSERT_GE(r.signalledAt, 0);
    EXPECT_LT(r.seconds - r.signalledAt, 1.0);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
}

TEST(Cancel, InterruptDuringAFlashEndsTheRunPromptly) {
    // Slow sector writes keep the flash going for seconds.
    Emu emu = Emu::start({.writeMs = 100});
    std::string hex = emu.writeFirmware("firmware.hex", {"Z-Wave 4.81", 7});
    RunResult r = emu.run(
        {"--reset-pin", "17", "--hex", hex, emu.tty()},
        SignalPlan{.signal = SIGINT, .afterMs = 50, .tracePattern = " in prog write-flash-sector "}, 30000);
    EXPECT_EQ(lastStatusWord(r.out), "Cancelled");
    EXPECT_EQ(r.exitStatus, 1);
    for (const std::string& line : messageLines(r.err))
        ADD_FAILURE() << "unexpected line: " << line;
    ASSERT_GE(r.signalledAt, 0);
    EXPECT_LT(r.seconds - r.signalledAt, 1.5);
    EXPECT_EQ(emu.count(" event crc "), 0u);
}

TEST(Cancel, InterruptDuringTheBridgeFlashOfAMigrationLeavesWithoutErrorOrRestore) {
    Emu emu = Emu::start({.firmware = {"Z-Wave 4.61", 1}, .writeMs = 100});
    std::string backup = emu.path("backup.bin");
    RunResult r = emu.run(
        {"--reset-pin", "17", "--backup-nvm", backup, "--migrate-nvm", "--bridge", emu.tty()},
        SignalPlan{.signal = SIGINT, .afterMs = 50, .tracePattern = " in prog write-flash-sector "}, 30000);
    Lines lines = messageLines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "-- Flashing: Bridge controller library (--bridge)") << r.err;
    EXPECT_EQ(lastStatusWord(r.out), "Cancelled");
    EXPECT_EQ(r.exitStatus, 1);
    ASSERT_GE(r.signalledAt, 0);
    EXPECT_LT(r.seconds - r.signalledAt, 1.5);
    // The backup was taken before the flash and stays.
    EXPECT_EQ(Emu::readFile(backup).size(), 16384u);
}
