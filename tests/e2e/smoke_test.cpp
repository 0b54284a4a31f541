// The smoke set: every job once, and the command-line cases whose results depend on the width of
// `long` or the signedness of `char`. scripts/test runs these rows again with each foreign build of
// the tool under qemu (TARNWICK_TOOL, TARNWICK_TOOL_WRAPPER), against the native emulator.
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include "FirmwareIdentity.hpp"
#include "GeneratedContent.hpp"
#include "IntelHex.hpp"
#include "zwave/BridgeMigration.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace emutest;
using Lines = std::vector<std::string>;

namespace {

const FirmwareSpec FLASHED = {"Z-Wave 4.62", 1, 16384, 8 * 1024};

// Every byte value, half of them above 0x7F, in the NVM image to restore and in the HEX file.
std::vector<uint8_t> restoreImage() {
    std::vector<uint8_t> image(16384);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i * 7 + 1);
    return image;
}

std::vector<uint8_t> highBytesImage() {
    std::vector<uint8_t> image = Emu::firmwareImage(FLASHED);
    for (size_t i = 0; i < emu::SECTOR_SIZE; ++i)
        image[emu::SECTOR_SIZE * 10 + i] = uint8_t(255 - i);
    emu::storeFlashCrc(image);
    return image;
}

std::vector<uint8_t> bridgeConversion(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> target(32768);
    View converted = convertToBridge(View(image.data(), image.size()), Span(target.data(), target.size()));
    return std::vector<uint8_t>(converted.data(), converted.data() + converted.size());
}

EmuOptions smallBridge() {
    EmuOptions options;
    options.bridge.codeSize = 8 * 1024;
    return options;
}

struct Row {
    const char* name;
    // "@name" stands for a path in the emulator's directory ("@tty" is its tty), "@tool" for the
    // tool's path, here and in `lines`.
    std::vector<std::string> arguments;
    int exitStatus;
    Lines lines;
    std::function<void(Emu&)> check; // what the module and the files hold afterwards
    EmuOptions options = {};
};

void nothingSent(Emu& emu) {
    EXPECT_EQ(emu.count(" in "), 0u);
}

const Row ROWS[] = {
    {"version",
     {"--reset-pin", "17", "--get-version", "@tty"},
     0,
     {"Z-Wave 4.62 Static controller library"},
     [](Emu& emu) { EXPECT_EQ(emu.count(" in frame get-version "), 1u); }},
    {"backup",
     {"--reset-pin", "17", "--backup-nvm", "@backup.bin", "@tty"},
     0,
     {},
     [](Emu& emu) { EXPECT_EQ(Emu::readFile(emu.path("backup.bin")), emu::populatedStaticNvm()); }},
    {"restore",
     {"--reset-pin", "17", "--restore-nvm", "@restore.bin", "@tty"},
     0,
     {},
     [](Emu& emu) { EXPECT_EQ(emu.nvm(), restoreImage()); }},
    {"erase",
     {"--reset-pin", "17", "--erase-nvm", "@tty"},
     0,
     {},
     [](Emu& emu) { EXPECT_EQ(emu.nvm(), emu::defaultNvm(emu::identifyFlash(emu.flash()).value())); }},
    {"flash_bytes_above_0x7f",
     {"--reset-pin", "17", "--hex", "@image.hex", "@tty"},
     0,
     {},
     [](Emu& emu) { EXPECT_EQ(emu.flash(), highBytesImage()); },
     {.firmware = {""}}},
    {"nvr",
     {"--reset-pin", "17", "--read-nvr", "@nvr.bin", "@tty"},
     0,
     {},
     [](Emu& emu) { EXPECT_EQ(Emu::readFile(emu.path("nvr.bin")), emu.nvr()); }},
    {"migration",
     {"--reset-pin", "17", "--backup-nvm", "@backup.bin", "--migrate-nvm", "--bridge", "@tty"},
     0,
     {"-- Starting migration", "Version: Z-Wave 4.62 Static controller library", "-- Reading NVM",
      "-- Backing up NVM to: @backup.bin", "-- Flashing: Bridge controller library (--bridge)",
      "Version: Z-Wave 4.81 Bridge controller library", "-- Writing NVM"},
     [](Emu& emu) {
         EXPECT_EQ(Emu::readFile(emu.path("backup.bin")), emu::populatedStaticNvm());
         EXPECT_EQ(emu.flash(), Emu::firmwareImage(smallBridge().bridge));
         std::vector<uint8_t> converted = bridgeConversion(emu::populatedStaticNvm());
         std::vector<uint8_t> nvm = emu.nvm();
         ASSERT_GE(nvm.size(), converted.size());
         EXPECT_EQ(std::vector<uint8_t>(nvm.begin(), nvm.begin() + std::ptrdiff_t(converted.size())),
                   converted);
     },
     smallBridge()},
    // The largest pin passes the command-line checks: the run gets as far as opening the tty.
    {"reset_pin_4294967295_accepted",
     {"--reset-pin", "4294967295", "--get-version", "@no-tty"},
     1,
     {"openTTY: An error occurred while opening tty @no-tty: No such file or directory"},
     nothingSent},
    {"reset_pin_4294967296_refused",
     {"--reset-pin", "4294967296", "--get-version", "@tty"},
     1,
     {"Invalid --reset-pin: 4294967296",
      "Usage: @tool [--reset-pin pin] [[--bridge] | [--hex hexfile]] [--read-nvr nvrfile] [--backup-nvm "
      "nvmfile]] [[--erase-nvm] | [--migrate-nvm] | [--restore-nvm nvmfile]] [--soft-reset] -- ttypath"},
     nothingSent},
};

// Replaces every "@name" (letters, digits, '.', '-', '_') as the row's comment says.
std::string expand(const std::string& text, const Emu& emu) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '@') {
            result += text[i];
            continue;
        }
        size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_", i + 1);
        std::string name = text.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
        result += name == "tool" ? Emu::toolCommand().back() : emu.path(name);
        i += name.size();
    }
    return result;
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class Smoke : public testing::TestWithParam<Row> {};

TEST_P(Smoke, Run) {
    const Row& row = GetParam();
    Emu emu = Emu::start(row.options);
    emu.writeFile("restore.bin", restoreImage());
    std::string hex = emu::writeIntelHex(highBytesImage());
    emu.writeFile("image.hex", std::vector<uint8_t>(hex.begin(), hex.end()));

    std::vector<std::string> arguments;
    for (const std::string& argument : row.arguments)
        arguments.push_back(expand(argument, emu));
    Lines lines;
    for (const std::string& line : row.lines)
        lines.push_back(expand(line, emu));
    RunResult r = emu.run(arguments, 60000);
    EXPECT_EQ(messageLines(r.err), lines);
    EXPECT_EQ(r.exitStatus, row.exitStatus);
    if (row.exitStatus == 0) {
        EXPECT_EQ(lastStatusWord(r.out), "Done");
    }
    row.check(emu);
}

INSTANTIATE_TEST_SUITE_P(Smoke, Smoke, testing::ValuesIn(ROWS), [](const testing::TestParamInfo<Row>& info) {
    return std::string(info.param.name);
});

} // namespace
