#include "config/Configuration.hpp"

#include "../support/ConsoleCapture.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const std::string USAGE =
    "Usage: prog [--reset-pin pin] [[--bridge] | [--hex hexfile]] [--read-nvr nvrfile] [--backup-nvm "
    "nvmfile]] [[--erase-nvm] | [--migrate-nvm] | [--restore-nvm nvmfile]] [--soft-reset] -- ttypath";
const std::string TTY_REQUIRED = "Error: Path to Z-Wave serial port tty 'ttypath' is required";
const std::string BRIDGE = std::string(BRIDGE_FIRMWARE_PATH.data(), BRIDGE_FIRMWARE_PATH.size());

std::string str(StringView view) {
    return std::string(view.data(), view.size());
}

// The fields that differ from their initial values, in declaration order.
std::string describe(const Configuration& c) {
    std::string d;
    auto path = [&d](const char* name, StringView value) {
        if (!value.empty())
            d += std::string(" ") + name + "=" + str(value);
    };
    auto flag = [&d](const char* name, bool value) {
        if (value)
            d += std::string(" ") + name;
    };
    path("tty", c.ttyPath);
    path("hex", c.hexPath);
    path("nvr", c.nvrPath);
    path("backup", c.backupPath);
    path("restore", c.restorePath);
    if (c.resetGpio != 0)
        d += " gpio=" + std::to_string(c.resetGpio);
    flag("verbose", c.verbose);
    flag("no-soft-reset", c.noSoftReset);
    flag("soft-reset", c.softResetAllowed);
    flag("version", c.versionRequested);
    flag("erase", c.eraseNvm);
    flag("migrate", c.migrateNvm);
    flag("bridge", c.bridge);
    flag("assume", c.assumeResetPinAsserted);
    return d.empty() ? d : d.substr(1);
}

struct Run {
    std::vector<std::string> lines;
    bool valid;
    std::string fields;
};

Run parse(std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    ConsoleCapture console;
    Configuration c(argv.data());
    return Run{console.lines(), c.valid, describe(c)};
}

// A row without lines is valid and has the fields after resolve; a row with lines is invalid and
// prints them, followed by the usage line.
struct Row {
    std::vector<std::string> args;
    std::vector<std::string> lines;
    std::string fields = "";
};

void check(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        std::string label;
        for (const std::string& a : row.args)
            label += "'" + a + "' ";
        SCOPED_TRACE(label);
        Run run = parse(row.args);
        bool valid = row.lines.empty();
        std::vector<std::string> lines = row.lines;
        if (!valid)
            lines.push_back(USAGE);
        EXPECT_EQ(run.lines, lines);
        EXPECT_EQ(run.valid, valid);
        if (valid) {
            EXPECT_EQ(run.fields, row.fields);
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
    });
}

TEST(Configuration, UnsupportedOptions) {
    check({
        {{"-x", "/dev/ttyAMA0"}, {"Option not supported: -x"}},
        {{"-", "/dev/ttyAMA0"}, {"Option not supported: -"}},
        {{"--hex=f.hex", "/dev/ttyAMA0"}, {"Option not supported: --hex=f.hex"}},
        {{"--VERBOSE", "/dev/ttyAMA0"}, {"Option not supported: --VERBOSE"}},
        {{"--verb", "/dev/ttyAMA0"}, {"Option not supported: --verb"}},
        // A value that does not fit the line buffer is left out whole.
        {{std::string(800, '-'), "/dev/ttyAMA0"}, {"Option not supported: "}},
    });
}

TEST(Configuration, ResetPin) {
    check({
        {{"--reset-pin", "17", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 gpio=17"},
        {{"--reset-pin", "17x", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 gpio=17"},
        {{"--reset-pin", "4294967295", "/dev/ttyAMA0"}, {}, "tty=/dev/ttyAMA0 gpio=4294967295"},
        {{"--reset-pin", "0", "/dev/ttyAMA0"}, {"Invalid --reset-pin: 0"}},
        {{"--reset-pin", "-1", "/dev/ttyAMA0"}, {"Invalid --reset-pin: -1"}},
        {{"--reset-pin", "x", "/dev/ttyAMA0"}, {"Invalid --reset-pin: x"}},
        {{"--reset-pin", "+5", "/dev/ttyAMA0"}, {"Invalid --reset-pin: +5"}},
        {{"--reset-pin", " 5", "/dev/ttyAMA0"}, {"Invalid --reset-pin:  5"}},
        {{"--reset-pin", "", "/dev/ttyAMA0"}, {"Invalid --reset-pin: "}},
        {{"--reset-pin", "4294967296", "/dev/ttyAMA0"}, {"Invalid --reset-pin: 4294967296"}},
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
    });
}

TEST(Configuration, ValidCombinationsAfterResolve) {
    check({
        {{"--assume-reset-pin-asserted", "--hex", "f.hex", "/dev/ttyAMA0"},
         {},
         "tty=/dev/ttyAMA0 hex=f.hex assume"},
        {{"--assume-reset-pin-asserted", "--hex", "f.hex", "--get-version", "/dev/ttyAMA0"},
         {"Error: --get-version conflicts with --assume-reset-pin-asserted"}},
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
    const std::string options = USAGE.substr(std::string("Usage: prog").size());
    for (const char* name : {static_cast<const char*>(""), static_cast<const char*>(nullptr)}) {
        const char* argv[] = {name, nullptr};
        ConsoleCapture console;
        Configuration c(argv);
        EXPECT_FALSE(c.valid);
        EXPECT_EQ(console.lines(), (std::vector<std::string>{TTY_REQUIRED, "Usage: tarnwick" + options}));
    }
    ConsoleCapture console;
    Configuration c(nullptr);
    EXPECT_EQ(console.lines(), (std::vector<std::string>{TTY_REQUIRED, "Usage: tarnwick" + options}));
}

TEST(Configuration, OnATerminalEveryMessageWipesEightyColumnsFirst) {
    const char* argv[] = {"prog", "a", "b", nullptr};
    ConsoleCapture console(console::testing::Streams::Terminals);
    Configuration c(argv);
    const std::string wipe = "\r" + std::string(80, ' ') + "\r";
    EXPECT_EQ(console.stderrText(), wipe + "Extra argument: b\n" + wipe + USAGE + "\n");
    EXPECT_EQ(console.stdoutText(), "");
}

} // namespace
