// The smoke set: every job once, and the command-line cases whose results depend on the width of
// `long` or the signedness of `char`. scripts/test runs these rows again with each foreign build of
// the tool under qemu (TARNWICK_TOOL, TARNWICK_TOOL_WRAPPER), against the native emulator.
#include "Table.hpp"

#include "FirmwareIdentity.hpp"

namespace emutest {
namespace {

Bytes highBytesImage() {
    Bytes image = Emu::firmwareImage({"Z-Wave 4.62", 1, 16384, 8 * 1024});
    for (size_t i = 0; i < emu::SECTOR_SIZE; ++i)
        image[emu::SECTOR_SIZE * 10 + i] = uint8_t(255 - i);
    emu::storeFlashCrc(image);
    return image;
}

// clang-format off
std::vector<Row> rows() {
    const EmuOptions smallBridge = {.bridge = {"Z-Wave 4.81", 7, 16384, 2048}};
    // Every byte value but 0, half of them above 0x7F (the migration restores zeros).
    const Count nothingSent = {" in ", 0}, resetUntouched = {" line reset ", 1};
    return {
        {.name = "version", .arguments = {"--reset-pin", "17", "--get-version", "@tty"},
         .lines = {"Z-Wave 4.62 Static controller library"}, .counts = {{" in frame get-version ", 1}}},
        {.name = "backup", .arguments = {"--reset-pin", "17", "--backup-nvm", "@backup.bin", "@tty"},
         .counts = {{" in frame nvm-read ", 256}, {" in frame nvm-close ", 1}},
         .files = {{"@backup.bin", staticNvm}}, .nvm = staticNvm},
        {.name = "restore", .arguments = {"--reset-pin", "17", "--restore-nvm", "@restore.bin", "@tty"},
         .counts = {{" in frame set-default ", 1}, {" in frame nvm-write ", 256},
                    {" in frame nvm-write 01 47 00 2e 02 40 ", 256}},
         .inputs = {{"restore.bin", nvmNoZeros}}, .nvm = nvmNoZeros}, // every byte value but zero
        {.name = "erase", .arguments = {"--reset-pin", "17", "--erase-nvm", "@tty"},
         .counts = {{" in frame set-default ", 1}}, .nvm = [] { return defaultNvm(); }},
        {.name = "flash_bytes_above_0x7f", .arguments = {"--reset-pin", "17", "--hex", "@image.hex", "@tty"},
         .options = {.firmware = {""}}, .inputs = {{"image.hex", [] { return hexFile(highBytesImage()); }}},
         .flash = highBytesImage},
        {.name = "nvr", .arguments = {"--reset-pin", "17", "--read-nvr", "@nvr.bin", "@tty"},
         .counts = {{" in prog read-nvr ", 256}}, .files = {{"@nvr.bin", defaultNvr}}},
        // --read-nvr beside --migrate-nvm passes the checks but is no job of the migration.
        {.name = "migration", .arguments = {"--reset-pin", "17", "--read-nvr", "@nvr.bin", "--backup-nvm",
         "@backup.bin", "--migrate-nvm", "--bridge", "@tty"},
         .lines = MIGRATED, .counts = {{" in prog read-nvr ", 0}}, .options = smallBridge,
         .files = {{"@backup.bin", staticNvm}, {"@nvr.bin", nullptr}}, .flash = image(smallBridge.bridge),
         .nvm = bridgeNvm},
        // The largest pin passes the command-line checks: the run gets as far as opening the tty.
        {.name = "reset_pin_4294967295_accepted",
         .arguments = {"--reset-pin", "4294967295", "--get-version", "@no-tty"}, .exitStatus = 1,
         .lines = {"openTTY: An error occurred while opening tty @no-tty: No such file or directory"},
         .counts = {nothingSent, resetUntouched}},
        {.name = "reset_pin_4294967296_refused", .arguments = {"--reset-pin", "4294967296", "--get-version",
         "@tty"}, .exitStatus = 1, .word = "",
         .lines = {"Invalid --reset-pin: 4294967296", "Usage: @tool [--reset-pin pin] [[--bridge] | "
                   "[--hex hexfile]] [--read-nvr nvrfile] [--backup-nvm nvmfile]] [[--erase-nvm] | "
                   "[--migrate-nvm] | [--restore-nvm nvmfile]] [--soft-reset] -- ttypath"},
         .counts = {nothingSent, resetUntouched}},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Smoke, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
