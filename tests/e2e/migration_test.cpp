// The static-to-bridge migration: every road, its lines in order, the last status word, and the
// firmware and NVM the module holds afterwards. The direct road with a backup is a smoke row.
#include "Table.hpp"

#include "GeneratedContent.hpp"

#include <filesystem>

namespace emutest {
namespace {

const std::string START = "-- Starting migration", READING = "-- Reading NVM", WRITING = "-- Writing NVM",
                  BRIDGE = "-- Flashing: Bridge controller library (--bridge)",
                  BRIDGE_VERSION = "Version: Z-Wave 4.81 Bridge controller library",
                  TO_661 = "-- Flashing: Static controller library from SDK v6.61.00",
                  SAFETY_COPY = "-- Backing up NVM to: /var/lib/tarnwick/nvm-4.62-<stamp>.bin";
const std::vector<std::string> WITH_BACKUP = {"--reset-pin",   "17",       "--backup-nvm", "@backup.bin",
                                              "--migrate-nvm", "--bridge", "@tty"};
const std::vector<std::string> WITHOUT_BACKUP = {"--reset-pin", "17", "--migrate-nvm", "--bridge", "@tty"};
const Count NO_NVM_TRAFFIC = {" in frame nvm-", 0}, NOT_FLASHED = {" in prog ", 0};

// Installed images with little code keep the flashing short, above all in the sanitizer build.
EmuOptions small(EmuOptions options) {
    for (Firmware* firmware : {&options.bridge, &options.static671, &options.static661})
        firmware->codeSize = 2048;
    return options;
}

std::string version(const std::string& text, const char* library = "Static") {
    return "Version: " + text + " " + library + " controller library";
}

// Without --backup-nvm the image read is kept before the bridge flash, readable by root alone: from
// then on it would otherwise be the only copy of the network.
void oneSafetyCopy(Emu&) {
    const std::vector<std::filesystem::path> copies(std::filesystem::directory_iterator("/var/lib/tarnwick"),
                                                    {});
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(Emu::readFile(copies[0]), staticNvm());
    EXPECT_EQ(std::filesystem::status(copies[0]).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(std::filesystem::status("/var/lib/tarnwick").permissions(), std::filesystem::perms(0700));
}

// clang-format off
// A version the migration does not know: refused before the NVM is read or anything flashed.
Row refused(const std::string& name, const Firmware& firmware, const std::string& error,
            const char* library = "Static") {
    return {.name = name, .arguments = WITHOUT_BACKUP, .exitStatus = 1, .lines = {START,
            version(firmware.version, library), error}, .counts = {NO_NVM_TRAFFIC, NOT_FLASHED},
            .options = {.firmware = firmware}, .flash = image(firmware), .nvm = staticNvm};
}

std::vector<Row> rows() {
    const Make bridge = image(small({}).bridge);
    const Firmware older = {"Z-Wave 4.05", 1}, sdk671 = {"Z-Wave 4.61", 1};
    const Firmware smallNvmFirmware = {"z-wave 4.33", 1, 12195};
    const Bytes smallNvm = emu::populatedStaticNvm({.size = 12195, .lastContentOffset = 11000});
    // The bridge flasher's eleven enables are echoed wrongly, the restore's are answered.
    EmuOptions bridgeFlashFails = small({.firmware = sdk671, .faults = {"corrupt-checksum:enable:1-11"}});
    const EmuOptions bridgeNeverFlashed = small({.faults = bridgeFlashFails.faults});
    const std::string unsupported = "Error: unsupported Static controller library version: Z-Wave ";
    std::vector<Row> rows = {
        {.name = "sdk661_keeps_a_safety_copy", .arguments = WITHOUT_BACKUP,
         .lines = {START, version("Z-Wave 4.62"), READING, SAFETY_COPY, BRIDGE, BRIDGE_VERSION, WRITING},
         .options = small({}), .flash = bridge, .nvm = bridgeNvm, .check = oneSafetyCopy},
        // Nothing is rolled back on this road: the safety copy is what is left of the network.
        {.name = "sdk661_safety_copy_outlives_a_failed_bridge_flash", .arguments = WITHOUT_BACKUP,
         .exitStatus = 1, .lines = {START, version("Z-Wave 4.62"), READING, SAFETY_COPY, BRIDGE,
                   "Response: <ac 53 aa aa>", "Expected: <ac 53 aa 55>", "",
                   "Error: failed enter chip programming mode", "Error: flashing failed"},
         .counts = {{" in frame nvm-write ", 0}}, .options = bridgeNeverFlashed,
         .flash = image(bridgeNeverFlashed.firmware), .nvm = staticNvm, .check = oneSafetyCopy},
        // A copy that cannot be written is a warning; the migration goes on as it would without it.
        {.name = "sdk661_safety_copy_unwritable", .arguments = WITHOUT_BACKUP,
         .lines = {START, version("Z-Wave 4.62"), READING, SAFETY_COPY,
                   "Warning: no safety copy of the NVM in /var/lib/tarnwick/nvm-4.62-<stamp>.bin: "
                   "IO-Error on open(): Not a directory (errno = 20)", BRIDGE, BRIDGE_VERSION, WRITING},
         .options = small({}), .flash = bridge, .nvm = bridgeNvm,
         .shell = "touch /var/lib/tarnwick && exec \"$@\""},
        {.name = "older_static_goes_through_sdk661", .arguments = WITHOUT_BACKUP,
         .lines = {START, version("Z-Wave 4.05"), TO_661, version("z-wave 4.33"), READING,
                   "-- Backing up NVM to: /var/lib/tarnwick/nvm-4.33-<stamp>.bin", BRIDGE, BRIDGE_VERSION,
                   WRITING}, .counts = {{" event boot z-wave 4.33 library 1", 1}},
         .options = small({.firmware = older, .static661 = {"z-wave 4.33", 1}}), .flash = bridge,
         .nvm = bridgeNvm},
        {.name = "sdk661_image_of_another_version", .arguments = WITH_BACKUP, .exitStatus = 1,
         .lines = {START, version("Z-Wave 4.05"), TO_661, version("Z-Wave 4.61"),
                   "Error: expected SDK v6.61"}, .counts = {NO_NVM_TRAFFIC},
         .options = small({.firmware = older, .static661 = sdk671}), .files = {{"@backup.bin", nullptr}},
         .flash = image({"Z-Wave 4.61", 1, 16384, 2048}), .nvm = staticNvm},
        refused("sdk671_without_a_backup", sdk671, "Error: Migrating this version is not officially "
                "supported. Run with --backup-nvm to make a backup and try anyway."),
        // The bridge flash fails at once; the 6.71.01 image and the NVM read are put back.
        {.name = "sdk671_put_back_after_a_failed_bridge_flash", .arguments = WITH_BACKUP, .exitStatus = 1,
         .lines = {START, version("Z-Wave 4.61"), READING, "Warning: Migrating this version is not "
                   "officially supported. Making a backup and trying to migrate as if SDK version was 6.61.",
                   "-- Backing up NVM to: @backup.bin", BRIDGE, "Response: <ac 53 aa aa>",
                   "Expected: <ac 53 aa 55>", "", "Error: failed enter chip programming mode",
                   "Error: flashing failed", "Error: Migration failed - attempting to restore backup.",
                   "-- Flashing: Static controller library from SDK v6.71.01", version("Z-Wave 4.61"),
                   WRITING, "Error: Migration failed, but backup was restored"},
         .counts = {{" event crc ", 1}, {" event crc passed", 1}}, .options = bridgeFlashFails,
         .files = {{"@backup.bin", staticNvm}}, .flash = image(bridgeFlashFails.static671), .nvm = staticNvm,
         .order = {" event crc passed", " in frame nvm-write "}},
        // The installed bridge image differs from the one running, so the re-flash shows in the flash.
        {.name = "already_bridge_is_only_reflashed", .arguments = WITH_BACKUP,
         .lines = {START, version("Z-Wave 4.81", "Bridge"),
                   "Warning: firmware is already Bridge controller; no migration is done.", BRIDGE},
         .counts = {NO_NVM_TRAFFIC}, .options = small({.firmware = {"Z-Wave 4.81", 7}}), .flash = bridge,
         .nvm = staticNvm},
        refused("portable_controller", {"Z-Wave 4.62", 2}, "Error: only Static controller library can be "
                "migrated, but chip is running Portable controller library", "Portable"),
        refused("version_text_unknown", {"ZWave 4.62", 1},
                "Error: unexpected Static controller library version: ZWave 4.62"),
        // A lower-case version is an SDK 6.61 version as well: its NVM is read, then refused for its size.
        {.name = "nvm_the_converter_refuses", .arguments = WITH_BACKUP, .exitStatus = 1,
         .lines = {START, version("z-wave 4.33"), READING, "Error: failed to migrate NVM"},
         .counts = {{" in frame nvm-read ", 191}, {" in frame nvm-write ", 0}, NOT_FLASHED},
         .options = {.firmware = smallNvmFirmware, .nvm = smallNvm}, .files = {{"@backup.bin", nullptr}},
         .flash = image(smallNvmFirmware), .nvm = [smallNvm] { return smallNvm; }},
    };
    for (std::string number : {"4.3", "4.330", "5.00", "4.6"})
        rows.push_back(refused(("version_" + number).replace(9, 1, "_"), {"Z-Wave " + number, 1},
                               unsupported + number));
    return rows;
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Migration, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
