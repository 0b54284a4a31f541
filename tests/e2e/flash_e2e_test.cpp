// Flashing through the real tool against the emulator's programming interface:
// the commands each sector costs, the retries and what ends up in the module, counted from the
// emulator's trace. The exact byte exchanges are the unit tests' business; here both sides agree.
// The NVR dump is a case of the single jobs; an NVR that stops answering is a case of the fault
// matrix (the tool fails) and of the unit tests (the bytes read and the four dumps).
#include "IntelHex.hpp"
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"
#include "util/crc32.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace emutest;

namespace {

constexpr size_t FLASH_SIZE = 131072;
constexpr size_t SECTOR = 2048;

// What the module received for one sector: the commands between its erase and the next erase.
struct SectorCommands {
    unsigned erase = 0;
    unsigned writeSram = 0;
    unsigned continueWrite = 0;
    unsigned flashSector = 0;
    std::vector<std::string> sramOffsets{}; // "hi lo" of every write-SRAM
    bool operator==(const SectorCommands&) const = default;
};

std::map<unsigned, SectorCommands> commandsBySector(const std::vector<std::string>& trace) {
    std::map<unsigned, SectorCommands> sectors;
    unsigned current = 0;
    for (const std::string& line : trace) {
        size_t at = line.find(" in prog ");
        if (at == std::string::npos)
            continue;
        std::istringstream fields(line.substr(at + 9));
        std::string name, b0, b1, b2;
        fields >> name >> b0 >> b1 >> b2;
        if (name == "erase-sector") {
            current = unsigned(std::stoul(b1, nullptr, 16));
            ++sectors[current].erase;
        } else if (name == "write-sram") {
            ++sectors[current].writeSram;
            sectors[current].sramOffsets.push_back(b1 + " " + b2);
        } else if (name == "continue-write") {
            ++sectors[current].continueWrite;
        } else if (name == "write-flash-sector") {
            ++sectors[current].flashSector;
        }
    }
    return sectors;
}

// The image as the tool writes it: the HEX file's bytes with the CRC-32 of the rest at the end.
std::vector<uint8_t> withCrc(std::vector<uint8_t> image) {
    Result crc = toBigEndian(crc32(image.data(), FLASH_SIZE - 4));
    std::copy(crc.bytes, crc.bytes + 4, image.end() - 4);
    return image;
}

std::string writeHex(const Emu& emu, const std::vector<uint8_t>& image) {
    std::string text = emu::writeIntelHex(image);
    return emu.writeFile("image.hex", std::vector<uint8_t>(text.begin(), text.end()));
}

RunResult flashFile(const Emu& emu, const std::string& hex, int limitMs = 20000) {
    return emu.run({"--reset-pin", "17", "--hex", hex, "--", emu.tty()}, limitMs);
}

// Code in sectors 0 to 5 only keeps a run short; the identity record and the CRC fill sector 63.
const FirmwareSpec FIRMWARE = {"Z-Wave 4.62", 1, 16384, 12 * 1024};

} // namespace

// One image with a sector of every shape; afterwards the module's flash is that image and its own
// CRC check passed.
TEST(FlashE2E, SectorShapesCostTheirCommandsAndTheFlashEqualsTheImage) {
    std::vector<uint8_t> image(FLASH_SIZE, 0xFF);
    image[100] = 0x42;                  // sector 0: one byte at offset 100
    for (size_t i = 0; i < SECTOR; ++i) // sector 1: full
        image[SECTOR + i] = uint8_t(i % 200 + 1);
    for (size_t i = 10; i <= 14; ++i) // sector 2: data at 10..14
        image[2 * SECTOR + i] = uint8_t(i);
    for (size_t i = 10; i <= 15; ++i) // sector 3: 10..15 with 0xFF at 11, a single-byte position
        image[3 * SECTOR + i] = i == 11 ? 0xFF : uint8_t(i);
    const std::vector<uint8_t> expected = withCrc(image);
    for (size_t i = FLASH_SIZE - 4; i < FLASH_SIZE; ++i)
        ASSERT_NE(expected[i], 0xFF) << "the CRC shape of sector 63 below assumes no erased byte";

    Emu emu = Emu::start({.firmware = {""}});
    RunResult r = flashFile(emu, writeHex(emu, image));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(messageLines(r.err), std::vector<std::string>{});
    EXPECT_EQ(lastStatusWord(r.out), "Done");

    std::map<unsigned, SectorCommands> sectors = commandsBySector(emu.trace());
    ASSERT_EQ(sectors.size(), 64u);
    EXPECT_EQ(sectors[0], (SectorCommands{1, 1, 0, 1, {"00 64"}}));
    EXPECT_EQ(sectors[1], (SectorCommands{1, 2, 682, 2, {"00 00", "00 01"}}));
    EXPECT_EQ(sectors[2], (SectorCommands{1, 2, 1, 2, {"00 0a", "00 0b"}}));
    EXPECT_EQ(sectors[3], (SectorCommands{1, 2, 1, 2, {"00 0a", "00 0c"}}));
    for (unsigned sector = 4; sector < 63; ++sector)
        EXPECT_EQ(sectors[sector], (SectorCommands{1, 0, 0, 0, {}})) << "sector " << sector;
    EXPECT_EQ(sectors[63], (SectorCommands{1, 1, 1, 1, {"07 fc"}}));
    EXPECT_EQ(emu.count(" in prog crc-check "), 1u);
    EXPECT_EQ(emu.count(" event crc passed"), 1u);
    EXPECT_EQ(emu.flash(), expected);
}

TEST(FlashE2E, AFailedSectorIsRetriedAloneAfterARestart) {
    Emu emu = Emu::start({.firmware = {""}, .faults = {"fail-sector:5"}});
    RunResult r = flashFile(emu, emu.writeFirmware("firmware.hex", FIRMWARE));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_NE(r.out.find("Retrying sector in"), std::string::npos);
    EXPECT_EQ(r.out.find("Retrying in"), std::string::npos);
    std::map<unsigned, SectorCommands> sectors = commandsBySector(emu.trace());
    for (unsigned sector = 0; sector < 64; ++sector)
        EXPECT_EQ(sectors[sector].erase, sector == 5 ? 2u : 1u) << "sector " << sector;
    EXPECT_EQ(emu.count(" in prog enable "), 2u);
    EXPECT_EQ(emu.count(" in prog crc-check "), 1u);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(FIRMWARE));
}

// A run whose CRC check fails, then one whose check is undecided: each ends its run, the whole
// image is written again from sector 0, and the third run (the last the tool allows) passes.
TEST(FlashE2E, RunsFailingTheirCrcCheckAreWrittenAgainWhole) {
    Emu emu = Emu::start({.firmware = {""}, .faults = {"crc-fail", "crc-undecided"}});
    RunResult r = flashFile(emu, emu.writeFirmware("firmware.hex", FIRMWARE));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(messageLines(r.err), std::vector<std::string>{"CRC check neither failed nor succeeded"});
    EXPECT_NE(r.out.find("CRC check failed"), std::string::npos);
    EXPECT_NE(r.out.find("Retrying in"), std::string::npos);
    std::map<unsigned, SectorCommands> sectors = commandsBySector(emu.trace());
    for (unsigned sector = 0; sector < 64; ++sector)
        EXPECT_EQ(sectors[sector].erase, 3u) << "sector " << sector;
    EXPECT_EQ(emu.count(" in prog crc-check "), 3u);
    EXPECT_EQ(emu.count(" event crc failed"), 1u);
    EXPECT_EQ(emu.count(" event crc undecided"), 1u);
    EXPECT_EQ(emu.count(" event crc passed"), 1u);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(FIRMWARE));
}

TEST(FlashE2E, EnableAnsweredOnTheThirdTry) {
    Emu emu = Emu::start({.firmware = {""}, .faults = {"enable-on-try:3"}});
    RunResult r = flashFile(emu, emu.writeFirmware("firmware.hex", FIRMWARE));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(messageLines(r.err), std::vector<std::string>{});
    EXPECT_EQ(emu.count(" in prog enable "), 3u);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(FIRMWARE));
}

// The one long wait of the programming interface: 11 reply timeouts and 10 pauses, about 12 s.
TEST(FlashE2E, EnableNeverAnsweredEndsTheFlashBeforeAnythingIsErased) {
    Emu emu = Emu::start({.faults = {"never-enable"}});
    RunResult r = flashFile(emu, emu.writeFirmware("firmware.hex", FIRMWARE), 30000);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    std::vector<std::string> lines = messageLines(r.err);
    EXPECT_EQ(countLines(lines, "Response: "), 1u);
    EXPECT_TRUE(hasLine(lines, "Response: <>"));
    EXPECT_TRUE(hasLine(lines, "Expected: <ac 53 aa 55>"));
    EXPECT_GT(r.seconds, 10.0);
    EXPECT_EQ(emu.count(" in prog enable "), 11u);
    EXPECT_EQ(emu.count(" in prog erase-sector "), 0u);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage({"Z-Wave 4.62", 1}));
}
