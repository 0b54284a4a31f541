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

namespace {

std::string textOf(const std::string& path) {
    std::vector<uint8_t> bytes = Emu::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

// A flash with stdout and stderr in files, as a service script or the journal keeps them: plain
// lines, at most one per sector and step, no carriage return, and the outcome as the last word.
TEST(ScriptsAndLogs, AFlashLoggedToFilesIsPlainLines) {
    Emu emu = Emu::start({.faults = {"fail-sector:3"}});
    std::string out = emu.path("out.log"), err = emu.path("err.log");
    std::vector<std::string> argv = {"/bin/bash", "-c", "exec \"$@\" >" + out + " 2>" + err, "bash"};
    for (const std::string& word : Emu::toolCommand())
        argv.push_back(word);
    argv.insert(argv.end(),
                {"--reset-pin", "17", "--hex", emu.writeFirmware("firmware.hex", FLASHED), emu.tty()});
    RunResult r = Emu::runProgram(argv, 60000);
    ASSERT_EQ(r.exitStatus, 0);
    std::string status = textOf(out), messages = textOf(err);
    EXPECT_EQ(status.find('\r'), std::string::npos);
    EXPECT_EQ(messages.find('\r'), std::string::npos);
    std::vector<std::string> lines = messageLines(status);
    // 64 sector lines, the retry of sector 3, and a handful of steps; never a line per command.
    EXPECT_GE(lines.size(), 65u);
    EXPECT_LT(lines.size(), 80u) << status;
    EXPECT_EQ(countLines(lines, "Retrying sector in"), 1u);
    EXPECT_EQ(lastStatusWord(status), "Done");
    EXPECT_EQ(status.back(), '\n');
    // The failed sector's exchange, and no Error line: a sector that succeeds on its retry is no failure.
    EXPECT_EQ(messageLines(messages)[0], "Response: <20 03 ff 00>");
    EXPECT_EQ(countLines(messageLines(messages), "Error:"), 0u);
}

// --help and --version win over everything else on the line: nothing is checked or opened.
TEST(ScriptsAndLogs, HelpAndVersionOpenNothing) {
    Emu emu = Emu::start();
    RunResult help = emu.run({"--reset-pin", "17", "--erase-nvm", "--help", "--bogus", emu.tty()}, 10000);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: " + Emu::toolCommand().back() + " [--reset-pin pin]", 0), 0u)
        << help.out;
    for (const char* option :
         {"--get-version", "--verbose", "--assume-reset-pin-asserted", "--no-soft-reset"})
        EXPECT_NE(help.out.find(std::string("\n  ") + option), std::string::npos) << option;
    RunResult version = emu.run({"--version", "--", emu.tty()}, 10000);
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "tarnwick " TARNWICK_VERSION "\n");
    // After "--" it is the tty path as before.
    RunResult positional = emu.run({"--get-version", "--", "--help"}, 10000);
    EXPECT_EQ(positional.exitStatus, 1);
    EXPECT_EQ(lastStatusWord(positional.out), "Failed");
    EXPECT_EQ(emu.count(" in "), 0u);
    EXPECT_EQ(emu.count(" line reset "), 1u);
}

// A failed job ends with one Error line: the file it failed on, or the job that failed.
TEST(ScriptsAndLogs, AFailedJobEndsWithOneErrorLineNamingItsFileOrItself) {
    Emu emu = Emu::start({.faults = {"enable-reply:ac53aa00"}});
    std::string backup = emu.path("no-such-directory/nvm.bin");
    RunResult r = emu.run({"--reset-pin", "17", "--backup-nvm", backup, emu.tty()}, 20000);
    EXPECT_EQ(messageLines(r.err),
              (std::vector<std::string>{"IO-Error on open(): No such file or directory (errno = 2)",
                                        "Error: cannot write NVM backup '" + backup + "'"}));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(lastStatusWord(r.out), "Failed");

    RunResult flash =
        emu.run({"--reset-pin", "17", "--hex", emu.writeFirmware("firmware.hex", FLASHED), emu.tty()}, 30000);
    std::vector<std::string> lines = messageLines(flash.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "");
    EXPECT_EQ(lines.back(), "Error: flashing failed");
    EXPECT_EQ(countLines(lines, "Error:"), 1u);
    EXPECT_EQ(flash.exitStatus, 1);
}
