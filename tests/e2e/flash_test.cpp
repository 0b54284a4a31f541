// Flashing through the programming interface: the commands each sector costs and the retries of
// whole runs, counted from the emulator's trace, and what the module's flash holds after. The
// enable's retries and a failed sector retried alone are fault-matrix and console rows.
#include "Table.hpp"

#include "FirmwareIdentity.hpp"

#include <cstdio>

namespace emutest {
namespace {

using emu::FLASH_SIZE, emu::SECTOR_SIZE;
const Firmware FIRMWARE = {"Z-Wave 4.62", 1, 16384, 4 * 1024};

// One image with a sector of every shape; `withCrc`, the CRC-32 of the rest in its last four bytes, as
// the tool writes it (none of them is 0xFF here). That CRC is the tool's own, checked against
// published values in the HEX reader's test; the emulator's check of the flash catches a wrong order.
Bytes shapes(bool withCrc = false) {
    Bytes image(FLASH_SIZE, 0xFF);
    image[100] = 0x42;                       // sector 0: one byte at offset 100
    for (size_t i = 0; i < SECTOR_SIZE; ++i) // sector 1: full
        image[SECTOR_SIZE + i] = uint8_t(i % 200 + 1);
    for (size_t i = 10; i <= 14; ++i) // sector 2: data at 10..14
        image[2 * SECTOR_SIZE + i] = uint8_t(i);
    for (size_t i = 10; i <= 15; ++i) // sector 3: 10..15 with 0xFF at 11, a single-byte position
        image[3 * SECTOR_SIZE + i] = i == 11 ? 0xFF : uint8_t(i);
    if (withCrc)
        emu::storeFlashCrc(image);
    return image;
}

// The programming commands in order with their bytes, each run of continue-writes as one line with
// its length; only the bytes that differ from erased flash are written, through the SRAM.
void sectorCommands(Emu& emu) {
    Lines commands;
    for (const std::string& line : emu.trace()) {
        const size_t at = std::min(line.find(" in prog "), line.size() - 9) + 9;
        const std::string command = line.substr(at, line.find(' ', at) - at);
        bool continued = !commands.empty() && commands.back().rfind("continue", 0) == 0;
        if (command == "continue-write" && continued)
            commands.back() = "continue x" + std::to_string(std::stoi(commands.back().substr(10)) + 1);
        else if (command == "continue-write")
            commands.push_back("continue x1");
        else if (command == "erase-sector" || command == "write-sram" || command == "write-flash-sector")
            commands.push_back(line.substr(at));
    }
    // clang-format off
    Lines expected = {
        "erase-sector 0b 00 ff ff", "write-sram 04 00 64 42", "write-flash-sector 20 00 ff ff",
        "erase-sector 0b 01 ff ff", "write-sram 04 00 00 01", "write-flash-sector 20 01 ff ff",
        "write-sram 04 00 01 02", "continue x682", "write-flash-sector 20 01 ff ff",
        "erase-sector 0b 02 ff ff", "write-sram 04 00 0a 0a", "write-flash-sector 20 02 ff ff",
        "write-sram 04 00 0b 0b", "continue x1", "write-flash-sector 20 02 ff ff",
        "erase-sector 0b 03 ff ff", "write-sram 04 00 0a 0a", "write-flash-sector 20 03 ff ff",
        "write-sram 04 00 0c 0c", "continue x1", "write-flash-sector 20 03 ff ff"};
    // clang-format on
    char text[32];
    for (int sector = 4; sector < 64; ++sector)
        expected.push_back((std::snprintf(text, sizeof text, "erase-sector 0b %02x ff ff", sector), text));
    std::snprintf(text, sizeof text, "write-sram 04 07 fc %02x", shapes(true)[FLASH_SIZE - 4]); // the CRC
    expected.insert(expected.end(), {text, "continue x1", "write-flash-sector 20 3f ff ff"});
    EXPECT_EQ(commands, expected);
}

// clang-format off
std::vector<Row> rows() {
    return {
        // A sector write keeps the module busy for a while: the state polls see it busy, then done.
        {.name = "sector_shapes", .arguments = {"--reset-pin", "17", "--hex", "@image.hex", "@tty"},
         .counts = {{" in prog crc-check ", 1}, {" event crc passed", 1}},
         .options = {.firmware = {""}, .writeMs = 20},
         .inputs = {{"image.hex", [] { return hexFile(shapes()); }}}, .flash = [] { return shapes(true); },
         .order = {" out prog check-state 7f fe 00 08", " out prog check-state 7f fe 00 00"},
         .check = sectorCommands},
        // A run whose CRC check fails, then one whose check is undecided: each is written again whole
        // from sector 0 after a pause of 2 s, and the third run, the last the tool allows, passes.
        {.name = "runs_failing_their_crc_check",
         .arguments = {"--reset-pin", "17", "--hex", "@firmware.hex", "@tty"},
         .lines = {"CRC check neither failed nor succeeded"},
         .counts = {{" in prog erase-sector 0b 00 ", 3}, {" in prog erase-sector ", 3 * 64},
                    {" in prog crc-check ", 3}, {" event crc failed", 1}, {" event crc undecided", 1},
                    {" event crc passed", 1}, {" in prog ", ANY, 2000}},
         .options = {.firmware = {""}, .faults = {"crc-fail", "crc-undecided"}},
         .inputs = {{"firmware.hex", hexImage(FIRMWARE)}}, .flash = image(FIRMWARE),
         .shown = {"CRC check failed", "Retrying in"}},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Flash, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
