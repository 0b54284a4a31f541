#include "support/EmuHarness.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace emutest;

TEST(EmuHarness, RunsAProgramCapturingItsOutputStatusAndTime) {
    RunResult result = Emu::runProgram({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 5000);
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_FALSE(result.timedOut);

    RunResult slow = Emu::runProgram({"/bin/sleep", "5"}, 200);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_LT(slow.seconds, 2.0);
}

TEST(EmuHarness, InstallsTheFirmwareImagesAndServesTheTtyAndTheGpioTree) {
    Emu emu = Emu::start({.static671 = {""}});
    EXPECT_EQ(access((std::string(FIRMWARE_DIRECTORY) + "/" + BRIDGE_FILE).c_str(), R_OK), 0);
    EXPECT_EQ(access((std::string(FIRMWARE_DIRECTORY) + "/" + STATIC_661_FILE).c_str(), R_OK), 0);
    EXPECT_NE(access((std::string(FIRMWARE_DIRECTORY) + "/" + STATIC_671_FILE).c_str(), F_OK), 0);
    EXPECT_EQ(access(emu.tty().c_str(), R_OK | W_OK), 0);
    EXPECT_EQ(access("/sys/class/gpio/export", W_OK), 0);
    // The module boots at start from the firmware it was given, and the state survives the stop.
    EXPECT_TRUE(emu.waitForTrace(" event boot Z-Wave 4.62 library 1"));
    EXPECT_EQ(emu.flash(), Emu::firmwareImage({"Z-Wave 4.62", 1}));
    EXPECT_TRUE(emu.stoppedCleanly());
    EXPECT_EQ(emu.count(" event boot Z-Wave 4.62 library 1"), 1u);
}
