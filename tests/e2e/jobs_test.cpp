// The single jobs of the real tool against the emulated module: what it prints, its last status
// word and exit status, and what the module holds and saw afterwards.
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include "GeneratedContent.hpp"
#include "IntelHex.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace emutest;
using Lines = std::vector<std::string>;

namespace {

// Index of the first trace line at or after `from` that contains `pattern`; the size when none.
size_t findTrace(const std::vector<std::string>& trace, const std::string& pattern, size_t from = 0) {
    for (size_t i = from; i < trace.size(); ++i)
        if (trace[i].find(pattern) != std::string::npos)
            return i;
    return trace.size();
}

size_t findLastTrace(const std::vector<std::string>& trace, const std::string& pattern) {
    for (size_t i = trace.size(); i-- > 0;)
        if (trace[i].find(pattern) != std::string::npos)
            return i;
    return trace.size();
}

// The levels of the reset line in the order the module saw them.
std::vector<std::string> resetLevels(const std::vector<std::string>& trace) {
    std::vector<std::string> levels;
    for (const std::string& line : trace)
        if (size_t at = line.find(" line reset "); at != std::string::npos)
            levels.push_back(line.substr(at + 12));
    return levels;
}

} // namespace

TEST(Jobs, OnlyATtyPathRunsNothingAndSucceeds) {
    Emu emu = Emu::start();
    RunResult r = emu.run({emu.tty()}, 10000);
    EXPECT_EQ(messageLines(r.err), Lines{});
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    // Nothing was sent and the reset line kept the level the emulator started with.
    EXPECT_EQ(emu.count(" in "), 0u);
    EXPECT_EQ(emu.count(" line reset "), 1u);
}

TEST(Jobs, NvrIsDumpedInProgrammingModeBeforeAFreshSerialApiConnectionReadsTheVersion) {
    Emu emu = Emu::start();
    std::string nvrPath = emu.path("nvr.bin");
    RunResult r = emu.run({"--reset-pin", "17", "--read-nvr", nvrPath, "--get-version", emu.tty()}, 20000);
    EXPECT_EQ(messageLines(r.err), Lines{"Z-Wave 4.62 Static controller library"});
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(Emu::readFile(nvrPath), emu.nvr());
    EXPECT_EQ(emu.count(" in prog read-nvr "), 256u);

    std::vector<std::string> trace = emu.trace();
    size_t enable = findTrace(trace, " in prog enable ");
    size_t lastNvr = findLastTrace(trace, " in prog read-nvr ");
    size_t release = findTrace(trace, " line reset 1", lastNvr);
    size_t started = findTrace(trace, " out frame started ", release);
    size_t version = findTrace(trace, " in frame get-version ");
    ASSERT_LT(enable, trace.size());
    ASSERT_LT(lastNvr, trace.size());
    EXPECT_LT(enable, lastNvr);
    EXPECT_LT(lastNvr, release);
    EXPECT_LT(release, started);
    EXPECT_LT(started, version);
    EXPECT_LT(version, trace.size());
}

TEST(Jobs, BackupIsWrittenBeforeAFlashThatFailsAndStays) {
    Emu emu = Emu::start({.faults = {"crc-fail:always"}});
    std::vector<uint8_t> flashBefore = Emu::firmwareImage(EmuOptions{}.firmware);
    std::string backup = emu.path("backup.bin");
    RunResult r = emu.run({"--reset-pin", "17", "--backup-nvm", backup, "--bridge", emu.tty()}, 30000);
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(messageLines(r.err), Lines{"Error: flashing failed"});
    EXPECT_EQ(Emu::readFile(backup), emu.nvm());
    EXPECT_EQ(emu.nvm(), emu::populatedStaticNvm());
    // All three attempts ran the CRC check, and the NVM was read before the flash began.
    EXPECT_EQ(emu.count(" event crc failed"), 3u);
    std::vector<std::string> trace = emu.trace();
    EXPECT_LT(findLastTrace(trace, " in frame nvm-close "), findTrace(trace, " in prog enable "));
    EXPECT_NE(emu.flash(), flashBefore);
}

// A HEX file the reader refuses ends the run before the flasher is built: the reset line only
// moves as in a run that just opens the chip, nothing reaches the programming interface.
TEST(Jobs, RefusedHexFileEndsTheRunBeforeProgrammingMode) {
    std::string firmware = emu::writeIntelHex(Emu::firmwareImage(EmuOptions{}.firmware));
    std::string truncated = firmware.substr(0, firmware.rfind(':')); // a download cut before its end
    struct Row {
        std::string content;
        std::string line; // the reader's message, "FILE" standing for the file's path
    };
    const std::vector<Row> rows = {
        {":1000\nx\n", "line too short to parse byte #2 from line ':1000'"},
        {truncated, "no end-of-file record in hex-file 'FILE'"},
        {"", "no data in hex-file 'FILE'"},
    };
    Emu baseline = Emu::start();
    baseline.run({"--reset-pin", "17", baseline.tty()}, 10000);
    const std::vector<std::string> openingOnly = resetLevels(baseline.trace());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Emu emu = Emu::start();
        std::string hex =
            emu.writeFile("f.hex", std::vector<uint8_t>(row.content.begin(), row.content.end()));
        RunResult r = emu.run({"--reset-pin", "17", "--hex", hex, emu.tty()}, 10000);
        std::string line = row.line;
        if (size_t at = line.find("FILE"); at != std::string::npos)
            line.replace(at, 4, hex);
        EXPECT_EQ(messageLines(r.err), (Lines{line, "Error: cannot read HEX file '" + hex + "'"}));
        EXPECT_EQ(lastStatusWord(r.out), "Failed");
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(emu.count(" in prog "), 0u);
        EXPECT_EQ(resetLevels(emu.trace()), openingOnly);
        EXPECT_EQ(emu.flash(), Emu::firmwareImage(EmuOptions{}.firmware));
    }
}

// An empty restore file (or /dev/null) is refused once the connection stands, before the restore
// could reset the controller or write its NVM.
TEST(Jobs, RestoringAnEmptyFileFailsAfterConnectingWithoutNvmTraffic) {
    for (const char* name : {"empty.bin", "/dev/null"}) {
        SCOPED_TRACE(name);
        Emu emu = Emu::start();
        std::string path = name[0] == '/' ? name : emu.writeFile(name, {});
        RunResult r = emu.run({"--reset-pin", "17", "--restore-nvm", path, emu.tty()}, 10000);
        EXPECT_EQ(messageLines(r.err), Lines{"Error: NVM image file '" + path + "' is empty"});
        EXPECT_EQ(lastStatusWord(r.out), "Failed");
        EXPECT_EQ(r.exitStatus, 1);
        // The connection was made (its step was shown) before the file was found empty.
        EXPECT_NE(r.out.find("Configuring serial API"), std::string::npos);
        EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
        EXPECT_EQ(emu.count(" in frame set-default "), 0u);
        EXPECT_EQ(emu.nvm(), emu::populatedStaticNvm());
    }
}

TEST(Jobs, RestoreFileLargerThanTheBufferIsRefusedUnwritten) {
    Emu emu = Emu::start();
    std::string big = emu.writeFile("big.bin", std::vector<uint8_t>(524289, 0x5A));
    RunResult r = emu.run({"--reset-pin", "17", "--restore-nvm", big, emu.tty()}, 10000);
    EXPECT_EQ(messageLines(r.err),
              (Lines{"file bigger than buffer", "Error: cannot read NVM image file '" + big + "'"}));
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
    EXPECT_EQ(emu.nvm(), emu::populatedStaticNvm());

    // Exactly the buffer's size is still taken whole (the module then refuses it as too large).
    Emu second = Emu::start();
    std::string fits = second.writeFile("fits.bin", std::vector<uint8_t>(524288, 0x5A));
    RunResult taken = second.run({"--reset-pin", "17", "--restore-nvm", fits, second.tty()}, 20000);
    for (const std::string& line : messageLines(taken.err))
        EXPECT_NE(line, "file bigger than buffer");
}

TEST(Jobs, VersionOfABridgeFirmware) {
    Emu emu = Emu::start({.firmware = {"Z-Wave 4.81", 7}});
    RunResult r = emu.run({"--reset-pin", "17", "--get-version", emu.tty()}, 10000);
    EXPECT_EQ(messageLines(r.err), Lines{"Z-Wave 4.81 Bridge controller library"});
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(emu.count(" in frame get-version "), 1u);
}

// A tty the run cannot have: one line naming it, "Failed", exit status 1, the reset line never set up.
TEST(Jobs, AMissingOrLockedTtyFailsWithoutTouchingTheResetLine) {
    Emu emu = Emu::start();
    std::string missing = emu.path("no-such-tty");
    // What a first run still at work holds: the lock alone keeps a second run out.
    int holder = ::open(emu.tty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    for (const auto& [tty, line] :
         {std::pair{missing, "openTTY: An error occurred while opening tty " + missing +
                                 ": No such file or directory"},
          {emu.tty(), "openTTY: tty " + emu.tty() + " is in use by another program (locked)"}}) {
        RunResult r = emu.run({"--reset-pin", "17", "--get-version", tty}, 10000);
        EXPECT_EQ(messageLines(r.err), Lines{line});
        EXPECT_EQ(lastStatusWord(r.out), "Failed");
        EXPECT_EQ(r.exitStatus, 1);
    }
    // With the lock let go, the tty is the next run's (no reset line, so the trace stays as it was).
    ::close(holder);
    RunResult next = emu.run({emu.tty()}, 10000);
    EXPECT_EQ(lastStatusWord(next.out), "Done");
    // The GPIO line was never set up: its only level is the one the emulator started with.
    EXPECT_EQ(emu.count(" line reset "), 1u);
    EXPECT_EQ(emu.count(" in "), 0u);
}
