// The console never stops a job: closed descriptors, a full device, a reader that goes away and a
// dropped session only cost the output. Rows with a shell script run the tool through bash with the
// script's redirections, so the tool meets the descriptors exactly as a service script gives them.
// Also here: output logged to files, --help and --version, and the one Error line of a failed job.
#include "Table.hpp"

#include <csignal>

namespace emutest {
namespace {

const Firmware FLASHED = {"Z-Wave 4.81", 7, 16384, 8 * 1024};

// A flash logged to files, as a service script or the journal keeps them: plain lines, at most one
// per sector and step, no carriage return, and the outcome as the last word.
void plainLines(Emu& emu) {
    std::string status = Emu::readText(emu.path("out.log")), messages = Emu::readText(emu.path("err.log"));
    EXPECT_EQ(status.find('\r'), std::string::npos); // in `messages`, a "<CR>" line fails the last check
    Lines lines = messageLines(status);
    // 64 sector lines, the retry of sector 3, and a handful of steps; never a line per command.
    EXPECT_TRUE(lines.size() >= 65 && lines.size() < 80) << status;
    EXPECT_EQ(countLines(lines, "Retrying sector in"), 1u);
    EXPECT_EQ(lastStatusWord(status), "Done");
    // A line repeats no line before it, and the sector, its share of the flash and its address show.
    EXPECT_TRUE(std::adjacent_find(lines.begin(), lines.end()) == lines.end()) << status;
    EXPECT_TRUE(hasLine(lines, " 50.00% Sector 32/63 addr=0x010000 Erasing")) << status;
    EXPECT_EQ(status.back(), '\n');
    // The failed sector's exchange, and no Error line: a sector that succeeds on its retry is no failure.
    EXPECT_EQ(messageLines(messages), (Lines{"Response: <20 03 ff 00>", "Expected: <20 03 ff ff>", ""}));
}

void helpText(Emu& emu) {
    std::string help = Emu::readText(emu.path("out.txt"));
    EXPECT_EQ(help.rfind("Usage: " + Emu::toolCommand().back() + " [--reset-pin pin]", 0), 0u) << help;
    for (auto option : {"--get-version", "--verbose", "--assume-reset-pin-asserted", "--no-soft-reset"})
        EXPECT_NE(help.find(std::string("\n  ") + option), std::string::npos) << option;
}

std::vector<Row> rows() {
    const std::vector<std::string> flash = {"--reset-pin", "17", "--hex", "@firmware.hex", "@tty"};
    const std::vector<std::pair<std::string, Make>> hex = {{"firmware.hex", hexImage(FLASHED)}};
    const Count noNoise = {" in noise ", 0}, nothingSent = {" in ", 0}, resetUntouched = {" line reset ", 1};
    const std::string version = "tarnwick " TARNWICK_VERSION "\n";
    // clang-format off
    const auto unwritable = [](const std::string& name, const std::string& option, const std::string& error) {
        return Row{.name = name, .arguments = {"--reset-pin", "17", option, "@no/file.bin", "@tty"},
                   .exitStatus = 1, .lines = {"IO-Error on open(): No such file or directory (errno = 2)",
                                              error + " '@no/file.bin'"}};
    };
    return {
        {.name = "stderr_closed", .arguments = {}, .exitStatus = 1, .word = "", .counts = {nothingSent},
         .shell = "exec \"$@\" 2>&-"},
        {.name = "stdout_on_a_full_device", .arguments = {"--", "@no-such-tty"}, .exitStatus = 1, .word = "",
         .lines = {"openTTY: An error occurred while opening tty @no-such-tty: No such file or directory"},
         .counts = {nothingSent}, .shell = "exec \"$@\" >/dev/full"},
        // With 0, 1 and 2 closed the tty would open as descriptor 2 and receive the dumps.
        {.name = "all_standard_descriptors_closed", .arguments = {"--reset-pin", "17", "--verbose",
         "--get-version", "@tty"}, .word = "", .counts = {noNoise, {" in frame get-version ", 1}},
         .shell = "exec \"$@\" <&- >&- 2>&-"},
        // The reader of stdout goes away early: no SIGPIPE death in the middle of the flash.
        {.name = "stdout_reader_goes_away", .arguments = flash, .word = "", .counts = {noNoise},
         .inputs = hex, .flash = image(FLASHED),
         .shell = "\"$@\" | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}"},
        // A dropped session: the hang-up does not end the run.
        {.name = "hang_up_during_a_flash", .arguments = flash, .counts = {noNoise}, .inputs = hex,
         .flash = image(FLASHED), .signal = {SIGHUP, 30, " in prog write-flash-sector "}},
        // Sector 3 fails once and is retried alone after a restart; no whole run again.
        {.name = "flash_logged_to_files", .arguments = flash, .word = "",
         .counts = {{" in prog erase-sector ", 65}, {" in prog erase-sector 0b 03 ", 2},
                    {" in prog enable ", 2}, {" in prog crc-check ", 1}},
         .options = {.faults = {"fail-sector:3"}}, .inputs = hex, .flash = image(FLASHED),
         .shell = "exec \"$@\" >@out.log 2>@err.log", .check = plainLines},
        // --help and --version win over everything else on the line, the first of them over the other:
        // nothing is checked, reported (refusals before them included) or opened.
        {.name = "help_opens_nothing", .arguments = {"-x", "--reset-pin", "0", "--migrate-nvm", "--help",
         "--version", "--bogus", "@tty"}, .word = "",
         .counts = {nothingSent, resetUntouched}, .shell = "exec \"$@\" >@out.txt", .check = helpText},
        {.name = "version_opens_nothing", .arguments = {"--erase-nvm", "--version", "--help", "--", "@tty"},
         .word = "", .counts = {nothingSent, resetUntouched},
         .files = {{"@out.txt", [version] { return Bytes(version.begin(), version.end()); }}},
         .shell = "exec \"$@\" >@out.txt"},
        // As an option's value or after "--" they are paths as any other.
        {.name = "help_and_version_as_paths", .arguments = {"--backup-nvm", "--help", "--get-version", "--",
         "--version"}, .exitStatus = 1,
         .lines = {"openTTY: An error occurred while opening tty --version: No such file or directory"},
         .counts = {nothingSent, resetUntouched}},
        // A failed job ends with one Error line: the file it failed on, or the job that failed.
        unwritable("error_line_names_the_file", "--backup-nvm", "Error: cannot write NVM backup"),
        unwritable("error_line_names_the_nvr_file", "--read-nvr", "Error: cannot write NVR dump"),
        {.name = "error_line_names_the_job", .arguments = flash, .exitStatus = 1,
         .lines = {"Response: <ac 53 aa 00>", "Expected: <ac 53 aa 55>", "", "Error: flashing failed"},
         .counts = {{" in prog enable ", 11}, {" in prog erase-sector ", 0}},
         .options = {.faults = {"enable-reply:ac53aa00"}}, .inputs = hex},
    };
    // clang-format on
}

INSTANTIATE_TEST_SUITE_P(Console, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
