// The command line: every refusal with its lines in order, and what a valid line resolves to.
// The widest reset pins and the usage line run end to end (tests/e2e/smoke_test.cpp).
#include "config/Configuration.hpp"

#include "support/ConsoleCapture.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string OPTIONS =
    " [--reset-pin pin] [[--bridge] | [--hex hexfile]] [--read-nvr nvrfile] [--backup-nvm nvmfile]] "
    "[[--erase-nvm] | [--migrate-nvm] | [--restore-nvm nvmfile]] [--soft-reset] -- ttypath";
const std::string TTY_REQUIRED = "Error: Path to Z-Wave serial port tty 'ttypath' is required";
const std::string TTY = "tty=/dev/ttyAMA0",
                  BRIDGE = " hex=" + std::string(BRIDGE_FIRMWARE_PATH.data(), BRIDGE_FIRMWARE_PATH.size());

// The fields that differ from their initial values, in declaration order.
std::string describe(const Configuration& c) {
    std::string d;
    // clang-format off
    for (const auto& [name, path] : {std::pair{"tty", c.ttyPath}, {"hex", c.hexPath}, {"nvr", c.nvrPath},
                                     {"backup", c.backupPath}, {"restore", c.restorePath}})
        if (!path.empty())
            d += std::string(" ") + name + "=" + std::string(path.data(), path.size());
    if (c.resetGpio != 0)
        d += " gpio=" + std::to_string(c.resetGpio);
    for (const auto& [name, set] : {std::pair{"verbose", c.verbose}, {"no-soft-reset", c.noSoftReset},
                                    {"soft-reset", c.softResetAllowed}, {"version", c.versionRequested},
                                    {"erase", c.eraseNvm}, {"migrate", c.migrateNvm}, {"bridge", c.bridge},
                                    {"assume", c.assumeResetPinAsserted}})
        if (set)
            d += std::string(" ") + name;
    // clang-format on
    return d.empty() ? d : d.substr(1);
}

// A row with lines is refused and prints them, then the usage line; a row without lines is valid
// and resolves to `fields`.
// clang-format off
struct Row { std::vector<std::string> args; Lines lines; std::string fields = ""; };
// clang-format on

// The reset pin value `pin` with a tty, refused.
Row badPin(const std::string& pin) {
    return {{"--reset-pin", pin, "/dev/ttyAMA0"}, {"Invalid --reset-pin: " + pin}};
}

TEST(Configuration, Table) {
    const std::string A = "--assume-reset-pin-asserted", T = "/dev/ttyAMA0";
    // clang-format off
    const Row rows[] = {
        // The tty: anywhere on the line, after "--" whatever it looks like, once; empty words are skipped.
        {{"--get-version", "--", T}, {}, TTY + " version"},
        {{T, "--get-version"}, {}, TTY + " version"},
        {{"--", "--hex"}, {}, "tty=--hex"},
        {{"--", T, "--verbose"}, {"Extra argument: --verbose"}},
        {{T, "/dev/ttyUSB0"}, {"Extra argument: /dev/ttyUSB0"}},
        {{"", T}, {}, TTY},
        // Every word is looked at after a refusal; a word too long for the line buffer is left out whole.
        {{"-x", "-", "--hex=f.hex", "--VERBOSE", "--verb", std::string(800, '-'), T},
         {"Option not supported: -x", "Option not supported: -", "Option not supported: --hex=f.hex",
          "Option not supported: --VERBOSE", "Option not supported: --verb", "Option not supported: "}},
        // The reset pin: digits only, not 0, within range; trailing text after the digits is ignored.
        {{"--reset-pin", "17x", T}, {}, TTY + " gpio=17"},
        badPin("0"), badPin("-1"), badPin("+5"), badPin(" 5"), badPin(""), badPin("99999999999999999999"),
        {{T, "--reset-pin"}, {"Argument required after --reset-pin"}},
        {{"--reset-pin", "17", "--reset-pin", "18", T}, {"Duplicate --reset-pin", "Extra argument: " + T}},
        {{"--reset-pin", "--hex", "f.hex", T}, {"Invalid --reset-pin: --hex", "Extra argument: " + T}},
        // Paths: required and not empty; the value is taken whatever it looks like; the last --hex counts.
        {{"--backup-nvm"}, {"Error: Path required after --backup-nvm", TTY_REQUIRED}},
        {{"--backup-nvm", "", T}, {"Error: Empty path specified for --backup-nvm"}},
        {{"--restore-nvm", "--", T}, {}, TTY + " restore=--"},
        {{"--hex", "a.hex", "--hex", "b.hex", "--reset-pin", "1", T}, {}, TTY + " hex=b.hex gpio=1"},
        // The checks between options print in their fixed order; a refused pin is no pin for them.
        {{A, "--soft-reset", "--no-soft-reset", "--reset-pin", "3", "--get-version", "--migrate-nvm",
          "--erase-nvm", "--backup-nvm", "b", "--restore-nvm", "r", "--hex", "h"},
         {TTY_REQUIRED, "Error: --soft-reset conflicts with --no-soft-reset",
          "Error: --reset-pin conflicts with " + A, "Error: --get-version conflicts with " + A,
          "Error: --migrate-nvm conflicts with " + A, "Error: --erase-nvm conflicts with " + A,
          "Error: --backup-nvm conflicts with " + A, "Error: --restore-nvm conflicts with " + A,
          "Error: --hex conflicts with --migrate-nvm", "Error: --erase-nvm conflicts with --migrate-nvm",
          "Error: --restore-nvm conflicts with --migrate-nvm", "Error: --migrate-nvm requires --bridge"}},
        {{"--bridge", "--hex", "h", "--read-nvr", "n", T},
         {"Error: --bridge requires --reset-pin", "Error: --hex requires --reset-pin",
          "Error: --read-nvr requires --reset-pin", "Error: --bridge conflicts with --hex"}},
        {{"-x", "--reset-pin", "0", "--hex", "h", T},
         {"Option not supported: -x", "Invalid --reset-pin: 0", "Error: --hex requires --reset-pin"}},
        // Valid combinations as resolved: --bridge names the bridge image, a restore erases anyway.
        {{A, "--hex", "f.hex", T}, {}, TTY + " hex=f.hex assume"},
        {{A, "--bridge", "--read-nvr", "n", T}, {}, TTY + BRIDGE + " nvr=n bridge assume"},
        {{"--erase-nvm", "--restore-nvm", "img", T, "--reset-pin", "4"}, {}, TTY + " restore=img gpio=4"},
        {{"--migrate-nvm", "--bridge", "--reset-pin", "5", "--backup-nvm", "b", T}, {},
         TTY + BRIDGE + " backup=b gpio=5 migrate bridge"},
        {{"--verbose", "--soft-reset", "--soft-reset", "--get-version", T}, {},
         TTY + " verbose soft-reset version"},
        {{"--no-soft-reset", "--erase-nvm", T}, {}, TTY + " no-soft-reset erase"},
    };
    // clang-format on
    for (const Row& row : rows) {
        std::vector<const char*> argv = {"prog"};
        for (const std::string& a : row.args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        SCOPED_TRACE(testing::PrintToString(row.args));
        ConsoleCapture console;
        Configuration c(argv.data());
        Lines lines = row.lines;
        if (!lines.empty())
            lines.push_back("Usage: prog" + OPTIONS);
        EXPECT_EQ(console.lines(), lines);
        EXPECT_EQ(c.valid ? describe(c) : "", row.fields);
    }
}

TEST(Configuration, UsageNamesTheProgramOrTarnwick) {
    const char* empty[] = {"", nullptr};
    const char* unnamed[] = {nullptr};
    for (const char* const* argv : {empty, unnamed, static_cast<const char**>(nullptr)}) {
        ConsoleCapture console;
        EXPECT_FALSE(Configuration(argv).valid);
        EXPECT_EQ(console.lines(), (Lines{TTY_REQUIRED, "Usage: tarnwick" + OPTIONS}));
    }
}

} // namespace
