// The command line: every refusal with its lines in order, and what a valid line resolves to.
// The widest reset pins run end to end (tests/e2e/smoke_test.cpp).
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
const std::string BRIDGE = std::string(BRIDGE_FIRMWARE_PATH.data(), BRIDGE_FIRMWARE_PATH.size());

// The fields that differ from their initial values, in declaration order.
std::string describe(const Configuration& c) {
    std::string d;
    for (const auto& [name, path] : {std::pair{"tty", c.ttyPath},
                                     {"hex", c.hexPath},
                                     {"nvr", c.nvrPath},
                                     {"backup", c.backupPath},
                                     {"restore", c.restorePath}})
        if (!path.empty())
            d += std::string(" ") + name + "=" + std::string(path.data(), path.size());
    if (c.resetGpio != 0)
        d += " gpio=" + std::to_string(c.resetGpio);
    for (const auto& [name, set] : {std::pair{"verbose", c.verbose},
                                    {"no-soft-reset", c.noSoftReset},
                                    {"soft-reset", c.softResetAllowed},
                                    {"version", c.versionRequested},
                                    {"erase", c.eraseNvm},
                                    {"migrate", c.migrateNvm},
                                    {"bridge", c.bridge},
                                    {"assume", c.assumeResetPinAsserted}})
        if (set)
            d += std::string(" ") + name;
    return d.empty() ? d : d.substr(1);
}

// A row with lines is invalid and prints them, followed by the usage line; a row without lines
// is valid and resolves to the fields given.
struct Row {
    std::vector<std::string> args;
    Lines lines;
    std::string fields = "";
};

void check(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        std::vector<const char*> argv = {"prog"};
        std::string label;
        for (const std::string& a : row.args) {
            argv.push_back(a.c_str());
            label += "'" + a + "' ";
        }
        argv.push_back(nullptr);
        SCOPED_TRACE(label);
        ConsoleCapture console;
        Configuration c(argv.data());
        Lines lines = row.lines;
        if (!lines.empty())
            lines.push_back("Usage: prog" + OPTIONS);
        EXPECT_EQ(console.lines(), lines);
        EXPECT_EQ(c.valid, row.lines.empty());
        if (c.valid) {
            EXPECT_EQ(describe(c), row.fields);
        }
    }
}

TEST(Configuration, TtyPathAndSeparator) {
    check({
        {{}, {TTY_REQUIRED}},
        {{"--get-version", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 version"},
        {{"--get-version", "--", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 version"},
        {{"/dev/ttyAMA0", "--get-version"}, {}, "tty=/dev/ttyAMA0 version"},
        {{"--", "--hex"}, {}, "tty=--hex"},
        {{"--", "/dev/ttyAMA0", "--verbose"}, {"Extra argument: --verbose"}},
        {{"/dev/ttyAMA0", "/dev/ttyUSB0"}, {"Extra argument: /dev/ttyUSB0"}},
        {{"", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0"},
        {{""}, {TTY_REQUIRED}},
        // Every option is looked at after a refusal, so each problem gets its line. A value that
        // does not fit the line buffer is left out whole.
        {{"-x", "-", "--hex=f.hex", "--VERBOSE", "--verb", std::string(800, '-'), "/dev/ttyAMA0"},
         {"Option not supported: -x", "Option not supported: -", "Option not supported: --hex=f.hex",
          "Option not supported: --VERBOSE", "Option not supported: --verb", "Option not supported: "}},
    });
}

TEST(Configuration, ResetPin) {
    check({
        {{"--reset-pin", "17", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 gpio=17"},
        {{"--reset-pin", "17x", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 gpio=17"},
        {{"--reset-pin", "0", "/dev/ttyAMA0"}, {"Invalid --reset-pin: 0"}},
        {{"--reset-pin", "-1", "/dev/ttyAMA0"}, {"Invalid --reset-pin: -1"}},
        {{"--reset-pin", "x", "/dev/ttyAMA0"}, {"Invalid --reset-pin: x"}},
        {{"--reset-pin", "+5", "/dev/ttyAMA0"}, {"Invalid --reset-pin: +5"}},
        {{"--reset-pin", " 5", "/dev/ttyAMA0"}, {"Invalid --reset-pin:  5"}},
        {{"--reset-pin", "", "/dev/ttyAMA0"}, {"Invalid --reset-pin: "}},
        {{"--reset-pin", "99999999999999999999", "/dev/ttyAMA0"},
         {"Invalid --reset-pin: 99999999999999999999"}},
        {{"/dev/ttyAMA0", "--reset-pin"}, {"Argument required after --reset-pin"}},
        {{"--reset-pin", "17", "--reset-pin", "18", "/dev/ttyAMA0"},
         {"Duplicate --reset-pin", "Extra argument: /dev/ttyAMA0"}},
        // The value is taken whatever it looks like; the words after it are examined as usual.
        {{"--reset-pin", "--hex", "f.hex", "/dev/ttyAMA0"},
         {"Invalid --reset-pin: --hex", "Extra argument: /dev/ttyAMA0"}},
    });
}

TEST(Configuration, PathArguments) {
    check({
        {{"--backup-nvm"}, {"Error: Path required after --backup-nvm", TTY_REQUIRED}},
        {{"--backup-nvm", "", "/dev/ttyAMA0"}, {"Error: Empty path specified for --backup-nvm"}},
        {{"/dev/ttyAMA0", "--hex"}, {"Error: Path required after --hex"}},
        {{"--read-nvr", "", "--reset-pin", "1", "/dev/ttyAMA0"},
         {"Error: Empty path specified for --read-nvr"}},
        {{"--backup-nvm", "--erase-nvm", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 backup=--erase-nvm"},
        {{"--restore-nvm", "--", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 restore=--"},
        {{"--hex", "a.hex", "--hex", "b.hex", "--reset-pin", "1", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 hex=b.hex gpio=1"},
        {{"--read-nvr", "nvr.bin", "--reset-pin", "2", "--backup-nvm", "b.bin", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 nvr=nvr.bin backup=b.bin gpio=2"},
        // Every option is parsed after a failure, so later problems are reported too.
        {{"-x", "--reset-pin", "0", "--hex", "h", "/dev/ttyAMA0"},
         {"Option not supported: -x", "Invalid --reset-pin: 0", "Error: --hex requires --reset-pin"}},
    });
}

TEST(Configuration, ChecksPrintInTableOrder) {
    check({
        {{"--assume-reset-pin-asserted", "--soft-reset", "--no-soft-reset", "--reset-pin", "3",
          "--get-version", "--migrate-nvm", "--erase-nvm", "--backup-nvm", "b", "--restore-nvm", "r", "--hex",
          "h"},
         {TTY_REQUIRED, "Error: --soft-reset conflicts with --no-soft-reset",
          "Error: --reset-pin conflicts with --assume-reset-pin-asserted",
          "Error: --get-version conflicts with --assume-reset-pin-asserted",
          "Error: --migrate-nvm conflicts with --assume-reset-pin-asserted",
          "Error: --erase-nvm conflicts with --assume-reset-pin-asserted",
          "Error: --backup-nvm conflicts with --assume-reset-pin-asserted",
          "Error: --restore-nvm conflicts with --assume-reset-pin-asserted",
          "Error: --hex conflicts with --migrate-nvm", "Error: --erase-nvm conflicts with --migrate-nvm",
          "Error: --restore-nvm conflicts with --migrate-nvm", "Error: --migrate-nvm requires --bridge"}},
        {{"--bridge", "--hex", "h", "--read-nvr", "n", "/dev/ttyAMA0"},
         {"Error: --bridge requires --reset-pin", "Error: --hex requires --reset-pin",
          "Error: --read-nvr requires --reset-pin", "Error: --bridge conflicts with --hex"}},
        {{"--migrate-nvm", "--hex", "f.hex", "/dev/ttyAMA0"},
         {"Error: --hex requires --reset-pin", "Error: --hex conflicts with --migrate-nvm",
          "Error: --migrate-nvm requires --bridge"}},
        {{"--migrate-nvm", "--bridge", "--restore-nvm", "r", "--reset-pin", "5", "/dev/ttyAMA0"},
         {"Error: --restore-nvm conflicts with --migrate-nvm"}},
        {{"--assume-reset-pin-asserted", "--hex", "f.hex", "--get-version", "/dev/ttyAMA0"},
         {"Error: --get-version conflicts with --assume-reset-pin-asserted"}},
    });
}

TEST(Configuration, ValidCombinationsAfterResolve) {
    check({
        {{"--assume-reset-pin-asserted", "--hex", "f.hex", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 hex=f.hex assume"},
        {{"--assume-reset-pin-asserted", "--bridge", "--read-nvr", "n", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 hex=" + BRIDGE + " nvr=n bridge assume"},
        {{"--erase-nvm", "--restore-nvm", "img", "/dev/ttyAMA0", "--reset-pin", "4"},
         {},
         "tty=/dev/ttyAMA0 restore=img gpio=4"},
        {{"--erase-nvm", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 erase"},
        {{"--bridge", "--reset-pin", "4", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 hex=" + BRIDGE + " gpio=4 bridge"},
        {{"--migrate-nvm", "--bridge", "--reset-pin", "5", "--backup-nvm", "b", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 hex=" + BRIDGE + " backup=b gpio=5 migrate bridge"},
        {{"--verbose", "--soft-reset", "--soft-reset", "--get-version", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 verbose soft-reset version"},
        {{"--no-soft-reset", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 no-soft-reset"},
    });
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
