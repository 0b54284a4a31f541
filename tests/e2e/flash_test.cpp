// Flashing through the programming interface: the commands each sector costs, the retries of runs
// and of the enable, counted from the emulator's trace, and what the module's flash holds after.
// A failed sector retried alone is a row of the console table (a flash logged to files).
#include "Table.hpp"

#include <map>
#include <sstream>

namespace emutest {
namespace {

constexpr size_t FLASH_SIZE = 131072;
constexpr size_t SECTOR = 2048;
const FirmwareSpec FIRMWARE = {"Z-Wave 4.62", 1, 16384, 4 * 1024};

// CRC-32/MPEG-2 bit by bit, independent of the tool's table-driven one.
uint32_t crcMpeg2(const Bytes& bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= uint32_t(bytes[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x80000000 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// What the module received for one sector: the commands between its erase and the next erase.
struct SectorCommands {
    unsigned erase = 0, writeSram = 0, continueWrite = 0, flashSector = 0;
    std::vector<std::string> sramOffsets{}; // "hi lo" of every write-SRAM
    bool operator==(const SectorCommands&) const = default;
};

std::map<unsigned, SectorCommands> commandsBySector(const Lines& trace) {
    std::map<unsigned, SectorCommands> sectors;
    unsigned current = 0;
    for (size_t at = indexOf(trace, " in prog "); at < trace.size();
         at = indexOf(trace, " in prog ", at + 1)) {
        std::istringstream fields(trace[at].substr(trace[at].find(" in prog ") + 9));
        std::string name, b0, b1, b2;
        fields >> name >> b0 >> b1 >> b2;
        if (name == "erase-sector")
            ++sectors[current = unsigned(std::stoul(b1, nullptr, 16))].erase;
        else if (name == "write-sram")
            ++sectors[current].writeSram, sectors[current].sramOffsets.push_back(b1 + " " + b2);
        else if (name == "continue-write")
            ++sectors[current].continueWrite;
        else if (name == "write-flash-sector")
            ++sectors[current].flashSector;
    }
    return sectors;
}

// One image with a sector of every shape.
Bytes shapes() {
    Bytes image(FLASH_SIZE, 0xFF);
    image[100] = 0x42;                  // sector 0: one byte at offset 100
    for (size_t i = 0; i < SECTOR; ++i) // sector 1: full
        image[SECTOR + i] = uint8_t(i % 200 + 1);
    for (size_t i = 10; i <= 14; ++i) // sector 2: data at 10..14
        image[2 * SECTOR + i] = uint8_t(i);
    for (size_t i = 10; i <= 15; ++i) // sector 3: 10..15 with 0xFF at 11, a single-byte position
        image[3 * SECTOR + i] = i == 11 ? 0xFF : uint8_t(i);
    return image;
}

// The tool writes the CRC-32 of the rest into the last four bytes; none of them is 0xFF here.
Bytes shapesWithCrc() {
    Bytes image = shapes();
    uint32_t crc = crcMpeg2(image, FLASH_SIZE - 4);
    for (int i = 0; i < 4; ++i)
        image[FLASH_SIZE - 4 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
    return image;
}

void sectorCommands(Emu& emu) {
    std::map<unsigned, SectorCommands> sectors = commandsBySector(emu.trace());
    ASSERT_EQ(sectors.size(), 64u);
    EXPECT_EQ(sectors[0], (SectorCommands{1, 1, 0, 1, {"00 64"}}));
    EXPECT_EQ(sectors[1], (SectorCommands{1, 2, 682, 2, {"00 00", "00 01"}}));
    EXPECT_EQ(sectors[2], (SectorCommands{1, 2, 1, 2, {"00 0a", "00 0b"}}));
    EXPECT_EQ(sectors[3], (SectorCommands{1, 2, 1, 2, {"00 0a", "00 0c"}}));
    for (unsigned sector = 4; sector < 63; ++sector)
        EXPECT_EQ(sectors[sector], (SectorCommands{1, 0, 0, 0, {}})) << "sector " << sector;
    EXPECT_EQ(sectors[63], (SectorCommands{1, 1, 1, 1, {"07 fc"}}));
}

// clang-format off
std::vector<Row> rows() {
    const std::vector<std::string> flash = {"--reset-pin", "17", "--hex", "@firmware.hex", "@tty"};
    const std::vector<std::pair<std::string, Make>> hex = {{"firmware.hex", hexImage(FIRMWARE)}};
    return {
        {.name = "sector_shapes", .arguments = {"--reset-pin", "17", "--hex", "@image.hex", "@tty"},
         .counts = {{" in prog crc-check ", 1}, {" event crc passed", 1}}, .options = {.firmware = {""}},
         .inputs = {{"image.hex", [] { return hexFile(shapes()); }}}, .flash = shapesWithCrc,
         .check = sectorCommands},
        // A run whose CRC check fails, then one whose check is undecided: each is written again whole
        // from sector 0, and the third run, the last the tool allows, passes.
        {.name = "runs_failing_their_crc_check", .arguments = flash,
         .lines = {"CRC check neither failed nor succeeded"},
         .counts = {{" in prog erase-sector ", 3 * 64}, {" in prog crc-check ", 3}, {" event crc failed", 1},
                    {" event crc undecided", 1}, {" event crc passed", 1}},
         .options = {.firmware = {""}, .faults = {"crc-fail", "crc-undecided"}}, .inputs = hex,
         .flash = image(FIRMWARE), .shown = {"CRC check failed", "Retrying in"}},
        {.name = "enable_answered_on_the_third_try", .arguments = flash, .counts = {{" in prog enable ", 3}},
         .options = {.firmware = {""}, .faults = {"enable-on-try:3"}}, .inputs = hex,
         .flash = image(FIRMWARE)},
        // The one long wait of the programming interface: 11 reply timeouts of 1 s and 10 pauses of 0.1 s.
        {.name = "enable_never_answered", .arguments = flash, .exitStatus = 1,
         .lines = {"Response: <>", "Expected: <ac 53 aa 55>", "", "Error: flashing failed"},
         .counts = {{" in prog enable ", 11}, {" in prog erase-sector ", 0}},
         .options = {.faults = {"never-enable"}},
         .inputs = hex, .flash = image(EmuOptions{}.firmware), .minSeconds = 12.0},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Flash, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
