// The static-to-bridge migration of the real tool against the emulated module: every road, its
// lines in order, the last status word, and the firmware and NVM the module holds afterwards.
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include "GeneratedContent.hpp"
#include "zwave/BridgeMigration.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace emutest;
using Lines = std::vector<std::string>;

namespace {

const std::vector<uint8_t> STATIC_NVM = emu::populatedStaticNvm();

std::vector<uint8_t> bridgeConversion(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> target(32768);
    View converted = convertToBridge(View(image.data(), image.size()), Span(target.data(), target.size()));
    return std::vector<uint8_t>(converted.data(), converted.data() + converted.size());
}

// The module's NVM holds the conversion at its start; the rest is what was there before, which
// for the populated image are the zeros past its content.
void expectConvertedNvm(const std::vector<uint8_t>& nvm, const std::vector<uint8_t>& source) {
    std::vector<uint8_t> expected = bridgeConversion(source);
    ASSERT_FALSE(expected.empty());
    ASSERT_GE(nvm.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), nvm.begin()));
    EXPECT_TRUE(
        std::all_of(nvm.begin() + long(expected.size()), nvm.end(), [](uint8_t b) { return b == 0; }));
}

std::vector<std::string> migrate(Emu& emu, const std::string& backup, RunResult& result,
                                 int timeoutMs = 30000) {
    std::vector<std::string> arguments = {"--reset-pin", "17"};
    if (!backup.empty())
        arguments.insert(arguments.end(), {"--backup-nvm", backup});
    arguments.insert(arguments.end(), {"--migrate-nvm", "--bridge", emu.tty()});
    result = emu.run(arguments, timeoutMs);
    return messageLines(result.err);
}

// The safety copy's announcement with its time stamp (-YYYYMMDDTHHMMSSZ) replaced by "<stamp>".
Lines stampless(Lines lines) {
    const std::string prefix = "-- Backing up NVM to: /var/lib/tarnwick/nvm-";
    const std::string shape = "-ddddddddTddddddZ.bin";
    for (std::string& line : lines) {
        if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + shape.size())
            continue;
        size_t at = line.size() - shape.size();
        bool fits = true;
        for (size_t i = 0; i < shape.size(); ++i)
            fits = fits && (shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[at + i])) != 0
                                            : line[at + i] == shape[i]);
        if (fits)
            line = line.substr(0, at) + "-<stamp>.bin";
    }
    return lines;
}

// The files in the safety copies' directory (a tmpfs over /var/lib in the tests' namespace).
std::vector<std::string> safetyCopies() {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/var/lib/tarnwick", ignored))
        found.push_back(entry.path());
    return found;
}

const std::vector<uint8_t>& bridgeImage() {
    static const std::vector<uint8_t> image = Emu::firmwareImage(EmuOptions{}.bridge);
    return image;
}

} // namespace

// --read-nvr beside --migrate-nvm passes the checks but is not a job of the migration: no dump.
TEST(Migration, Sdk661StaticIsMigratedDirectlyWithABackupAndNoNvrDump) {
    Emu emu = Emu::start();
    std::string backup = emu.path("backup.bin");
    std::string nvr = emu.path("nvr.bin");
    RunResult r = emu.run({"--reset-pin", "17", "--read-nvr", nvr, "--backup-nvm", backup, "--migrate-nvm",
                           "--bridge", emu.tty()},
                          30000);
    EXPECT_EQ(
        messageLines(r.err),
        (Lines{"-- Starting migration", "Version: Z-Wave 4.62 Static controller library", "-- Reading NVM",
               "-- Backing up NVM to: " + backup, "-- Flashing: Bridge controller library (--bridge)",
               "Version: Z-Wave 4.81 Bridge controller library", "-- Writing NVM"}));
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(Emu::readFile(backup), STATIC_NVM);
    expectConvertedNvm(emu.nvm(), STATIC_NVM);
    EXPECT_EQ(emu.flash(), bridgeImage());
    EXPECT_EQ(access(nvr.c_str(), F_OK), -1);
    EXPECT_EQ(emu.count(" in prog read-nvr "), 0u);
}

// Without --backup-nvm the image read is kept in /var/lib/tarnwick before the bridge flash: from
// then on it would otherwise be the only copy of the network.
TEST(Migration, Sdk661StaticWithoutABackupKeepsASafetyCopy) {
    Emu emu = Emu::start();
    RunResult r;
    EXPECT_EQ(stampless(migrate(emu, "", r)),
              (Lines{"-- Starting migration", "Version: Z-Wave 4.62 Static controller library",
                     "-- Reading NVM", "-- Backing up NVM to: /var/lib/tarnwick/nvm-4.62-<stamp>.bin",
                     "-- Flashing: Bridge controller library (--bridge)",
                     "Version: Z-Wave 4.81 Bridge controller library", "-- Writing NVM"}));
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    expectConvertedNvm(emu.nvm(), STATIC_NVM);
    EXPECT_EQ(emu.flash(), bridgeImage());
    std::vector<std::string> copies = safetyCopies();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(Emu::readFile(copies[0]), STATIC_NVM);
    struct stat file, directory;
    ASSERT_EQ(stat(copies[0].c_str(), &file), 0);
    ASSERT_EQ(stat("/var/lib/tarnwick", &directory), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(directory.st_mode & 07777, 0700u);
}

// A copy that cannot be written is a warning; the migration goes on as it would without it.
TEST(Migration, ASafetyCopyThatCannotBeWrittenIsAWarning) {
    Emu emu = Emu::start();
    int notADirectory = open("/var/lib/tarnwick", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(notADirectory, 0);
    close(notADirectory);
    RunResult r;
    Lines lines = stampless(migrate(emu, "", r));
    ASSERT_EQ(lines.size(), 8u) << r.err;
    EXPECT_EQ(lines[3], "-- Backing up NVM to: /var/lib/tarnwick/nvm-4.62-<stamp>.bin");
    EXPECT_EQ(lines[4].rfind("Warning: no safety copy of the NVM in /var/lib/tarnwick/nvm-4.62-", 0), 0u)
        << lines[4];
    EXPECT_NE(lines[4].find(": IO-Error on open(): Not a directory (errno = 20)"), std::string::npos);
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    expectConvertedNvm(emu.nvm(), STATIC_NVM);
}

TEST(Migration, OlderStaticGoesThroughTheSdk661ImageFirst) {
    Emu emu = Emu::start({.firmware = {"Z-Wave 4.05", 1}, .static661 = {"z-wave 4.33", 1}});
    RunResult r;
    EXPECT_EQ(stampless(migrate(emu, "", r)),
              (Lines{"-- Starting migration", "Version: Z-Wave 4.05 Static controller library",
                     "-- Flashing: Static controller library from SDK v6.61.00",
                     "Version: z-wave 4.33 Static controller library", "-- Reading NVM",
                     "-- Backing up NVM to: /var/lib/tarnwick/nvm-4.33-<stamp>.bin",
                     "-- Flashing: Bridge controller library (--bridge)",
                     "Version: Z-Wave 4.81 Bridge controller library", "-- Writing NVM"}));
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    expectConvertedNvm(emu.nvm(), STATIC_NVM);
    EXPECT_EQ(emu.flash(), bridgeImage());
    EXPECT_EQ(emu.count(" event boot z-wave 4.33 library 1"), 1u);
}

TEST(Migration, Sdk661ImageReportingAnotherVersionEndsTheRunBeforeTheNvmIsRead) {
    EmuOptions options{.firmware = {"Z-Wave 4.05", 1}, .static661 = {"Z-Wave 4.61", 1}};
    Emu emu = Emu::start(options);
    RunResult r;
    EXPECT_EQ(migrate(emu, emu.path("backup.bin"), r),
              (Lines{"-- Starting migration", "Version: Z-Wave 4.05 Static controller library",
                     "-- Flashing: Static controller library from SDK v6.61.00",
                     "Version: Z-Wave 4.61 Static controller library", "Error: expected SDK v6.61"}));
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
    EXPECT_EQ(emu.nvm(), STATIC_NVM);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(options.static661));
}

TEST(Migration, Sdk671WithoutBackupIsRefusedUntouched) {
    EmuOptions options{.firmware = {"Z-Wave 4.61", 1}};
    Emu emu = Emu::start(options);
    RunResult r;
    EXPECT_EQ(
        migrate(emu, "", r),
        (Lines{"-- Starting migration", "Version: Z-Wave 4.61 Static controller library",
               "Error: Migrating this version is not officially supported. Run with --backup-nvm to make a "
               "backup and try anyway."}));
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
    EXPECT_EQ(emu.count(" in prog "), 0u);
    EXPECT_EQ(emu.nvm(), STATIC_NVM);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(options.firmware));
}

TEST(Migration, Sdk671WhoseBridgeFlashFailsIsPutBackAsItWas) {
    // The bridge flasher's eleven enable commands are echoed wrongly, the restore's are answered:
    // the bridge flash fails at once, the 6.71.01 flash succeeds. (Unanswered enables or a sector
    // that fails on every write cost timeouts, retries and countdowns: over ten seconds.)
    EmuOptions options{.firmware = {"Z-Wave 4.61", 1}};
    for (int n = 1; n <= 11; ++n)
        options.faults.push_back("corrupt-checksum:enable:" + std::to_string(n));
    Emu emu = Emu::start(options);
    std::string backup = emu.path("backup.bin");
    RunResult r;
    Lines lines = migrate(emu, backup, r, 60000);
    Lines expectedStart = {
        "-- Starting migration",
        "Version: Z-Wave 4.61 Static controller library",
        "-- Reading NVM",
        "Warning: Migrating this version is not officially supported. Making a backup and trying "
        "to migrate as if SDK version was 6.61.",
        "-- Backing up NVM to: " + backup,
        "-- Flashing: Bridge controller library (--bridge)"};
    Lines expectedEnd = {"Error: failed enter chip programming mode",
                         "Error: flashing failed",
                         "Error: Migration failed - attempting to restore backup.",
                         "-- Flashing: Static controller library from SDK v6.71.01",
                         "Version: Z-Wave 4.61 Static controller library",
                         "-- Writing NVM",
                         "Error: Migration failed, but backup was restored"};
    ASSERT_GE(lines.size(), expectedStart.size() + expectedEnd.size()) << r.err;
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + long(expectedStart.size())), expectedStart);
    EXPECT_EQ(Lines(lines.end() - long(expectedEnd.size()), lines.end()), expectedEnd);
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);

    EXPECT_EQ(Emu::readFile(backup), STATIC_NVM);
    EXPECT_EQ(emu.count(" event crc "), 1u);
    EXPECT_EQ(emu.count(" event crc passed"), 1u);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(options.static671));
    EXPECT_EQ(emu.nvm(), STATIC_NVM);
    // The image read was written back once the restored firmware ran.
    std::vector<std::string> trace = emu.trace();
    auto flashed = std::find_if(trace.begin(), trace.end(), [](const std::string& line) {
        return line.find(" event crc passed") != std::string::npos;
    });
    EXPECT_GT(std::count_if(flashed, trace.end(),
                            [](const std::string& line) {
                                return line.find(" in frame nvm-write ") != std::string::npos;
                            }),
              0);
}

TEST(Migration, AlreadyBridgeIsOnlyReflashed) {
    // The installed bridge image differs from the one running, so the re-flash shows in the flash.
    EmuOptions options{.firmware = {"Z-Wave 4.81", 7}, .bridge = {"Z-Wave 4.81", 7, 16384, 20 * 1024}};
    Emu emu = Emu::start(options);
    std::vector<uint8_t> nvmBefore = STATIC_NVM;
    RunResult r;
    EXPECT_EQ(migrate(emu, emu.path("backup.bin"), r),
              (Lines{"-- Starting migration", "Version: Z-Wave 4.81 Bridge controller library",
                     "Warning: firmware is already Bridge controller; no migration is done.",
                     "-- Flashing: Bridge controller library (--bridge)"}));
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
    EXPECT_EQ(emu.nvm(), nvmBefore);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(options.bridge));
}

TEST(Migration, PortableControllerIsRefused) {
    Emu emu = Emu::start({.firmware = {"Z-Wave 4.62", 2}});
    RunResult r;
    EXPECT_EQ(migrate(emu, "", r),
              (Lines{"-- Starting migration", "Version: Z-Wave 4.62 Portable controller library",
                     "Error: only Static controller library can be migrated, but chip is running Portable "
                     "controller library"}));
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
    EXPECT_EQ(emu.count(" in prog "), 0u);
}

TEST(Migration, UnknownVersionsAreRefused) {
    for (std::string version : {"Z-Wave 4.3", "Z-Wave 4.330", "Z-Wave 5.00", "Z-Wave 4.6"}) {
        SCOPED_TRACE(version);
        Emu emu = Emu::start({.firmware = {version, 1}});
        RunResult r;
        EXPECT_EQ(migrate(emu, "", r),
                  (Lines{"-- Starting migration", "Version: " + version + " Static controller library",
                         "Error: unsupported Static controller library version: " + version}));
        EXPECT_EQ(lastStatusWord(r.out), "Failed");
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
        EXPECT_EQ(emu.count(" in prog "), 0u);
    }
    Emu emu = Emu::start({.firmware = {"ZWave 4.62", 1}});
    RunResult r;
    EXPECT_EQ(migrate(emu, "", r),
              (Lines{"-- Starting migration", "Version: ZWave 4.62 Static controller library",
                     "Error: unexpected Static controller library version: ZWave 4.62"}));
    EXPECT_EQ(r.exitStatus, 1);
}

// A lower-case version is an SDK 6.61 version as well: its NVM is read, then refused for its size.
TEST(Migration, NvmTheConverterRefusesEndsTheRunBeforeAnythingIsWritten) {
    std::vector<uint8_t> small = emu::populatedStaticNvm({.size = 12195, .lastContentOffset = 11000});
    EmuOptions options{.firmware = {"z-wave 4.33", 1, 12195}, .nvm = small};
    Emu emu = Emu::start(options);
    std::string backup = emu.path("backup.bin");
    RunResult r;
    EXPECT_EQ(migrate(emu, backup, r),
              (Lines{"-- Starting migration", "Version: z-wave 4.33 Static controller library",
                     "-- Reading NVM", "Error: failed to migrate NVM"}));
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(access(backup.c_str(), F_OK), 0);
    EXPECT_GT(emu.count(" in frame nvm-read "), 0u);
    EXPECT_EQ(emu.count(" in frame nvm-write "), 0u);
    EXPECT_EQ(emu.count(" in prog "), 0u);
    EXPECT_EQ(emu.nvm(), small);
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(options.firmware));
}
