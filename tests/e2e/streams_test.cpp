// The console never stops a job: closed descriptors, a full device, a reader that goes away and a
// dropped session only cost the output. Each row runs the real tool through bash with the row's
// redirections, so the tool meets the descriptors exactly as a service script would give them.
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <string>
#include <vector>

using namespace emutest;

namespace {

const FirmwareSpec FLASHED = {"Z-Wave 4.81", 7, 16384, 12 * 1024};

struct StreamCase {
    const char* name;
    // bash runs `"$@" <redirections>`: "$@" is the tool and its arguments.
    const char* script;
    enum Job { Usage, MissingTty, Version, Flash } job;
    int exitStatus;
    const char* errContains = ""; // empty: nothing required on the captured stderr
    int signal = 0;               // sent during the flash
};

void PrintTo(const StreamCase& c, std::ostream* out) {
    *out << c.name;
}

class Streams : public testing::TestWithParam<StreamCase> {};

TEST_P(Streams, TheJobRunsToItsEndWhateverTheConsole) {
    const StreamCase& c = GetParam();
    Emu emu = Emu::start();
    std::vector<std::string> argv = {"/bin/bash", "-c", c.script, "bash"};
    for (const std::string& word : Emu::toolCommand())
        argv.push_back(word);
    std::string hex = emu.writeFirmware("firmware.hex", FLASHED);
    switch (c.job) {
    case StreamCase::Usage:
        break;
    case StreamCase::MissingTty:
        argv.insert(argv.end(), {"--", emu.path("no-such-tty")});
        break;
    case StreamCase::Version:
        argv.insert(argv.end(), {"--reset-pin", "17", "--verbose", "--get-version", emu.tty()});
        break;
    case StreamCase::Flash:
        argv.insert(argv.end(), {"--reset-pin", "17", "--hex", hex, emu.tty()});
        break;
    }
    RunResult r = c.signal == 0 ? Emu::runProgram(argv, 60000)
                                : emu.runProgram(argv, {c.signal, 30, " in prog write-flash-sector "}, 60000);
    EXPECT_EQ(r.exitStatus, c.exitStatus) << r.err;
    EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.errContains), std::string::npos) << r.err;
    if (c.job == StreamCase::Flash) {
        std::vector<uint8_t> flash = emu.flash();
        EXPECT_EQ(flash, Emu::firmwareImage(FLASHED));
    }
    // Nothing the console printed reached the module's UART.
    EXPECT_EQ(emu.count(" in noise "), 0u);
}

const StreamCase CASES[] = {
    {"StderrClosed", "exec \"$@\" 2>&-", StreamCase::Usage, 1},
    {"StdoutOnAFullDevice", "exec \"$@\" >/dev/full", StreamCase::MissingTty, 1, "openTTY: "},
    // With 0, 1 and 2 closed the tty would open as descriptor 2 and receive the dumps.
    {"AllStandardDescriptorsClosed", "exec \"$@\" <&- >&- 2>&-", StreamCase::Version, 0},
    // The reader of stdout goes away early: no SIGPIPE death in the middle of the flash.
    {"StdoutReaderGoesAway", "\"$@\" | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}", StreamCase::Flash, 0},
    // A dropped session: the hang-up does not end the run.
    {"HangUpDuringAFlash", "exec \"$@\"", StreamCase::Flash, 0, "", SIGHUP},
};

INSTANTIATE_TEST_SUITE_P(Console, Streams, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

} // namespace
