// The fault matrix: every fault the emulator injects, against every job that meets it, through the
// real tool. Each case either recovers (where the tool retries) and leaves the module and the
// files as a clean run would, or fails with the failing step's line, "Failed" and exit status 1.
// Never "Done" after a failure, never past a wall-time bound, never a missing or truncated backup
// once the read succeeded, never a partial backup file when it did not. Each case prints one row
// of the outcome table ("| job | faults | outcome | seconds |").
//
// Faults whose recovery costs the tool's long fixed waits (a silent set default, 15 s each; a
// never-answering enable, 12 s; a module that goes silent for good) are chosen on other exchanges
// here, or kept to the few long cases at the end.
#include "GeneratedContent.hpp"
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <ostream>
#include <unistd.h>

using namespace emutest;

namespace {

enum class Job { Version, Backup, Restore, Erase, Flash, Nvr, Migration, Migration671 };

const char* jobName(Job job) {
    static const char* const NAMES[] = {"version", "backup", "restore",   "erase",
                                        "flash",   "nvr",    "migration", "migration-4.61"};
    return NAMES[int(job)];
}

enum class Outcome { Recovered, Failed };

struct Case {
    Job job;
    std::vector<std::string> faults;
    Outcome outcome;
    const char* line = ""; // a line the failure (or the recovery) must print; empty: none required
    double maxSeconds = 8;
    size_t backupSize = 16384; // the backup file when the read succeeds
};

const FirmwareSpec FLASHED = {"Z-Wave 4.62", 1, 16384, 12 * 1024};

std::vector<uint8_t> restoreImage() {
    std::vector<uint8_t> image(16384);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t((i * 31 + 7) % 255 + 1);
    return image;
}

bool asksForBackup(Job job) {
    return job == Job::Backup || job == Job::Migration || job == Job::Migration671;
}

// Left-overs of an interrupted atomic write beside the files the tool writes.
size_t temporaryFiles(const std::string& directory) {
    size_t found = 0;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir))
            found += std::string(entry->d_name).find(".tmp-") != std::string::npos ? 1 : 0;
        closedir(dir);
    }
    return found;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    std::string name = jobName(info.param.job);
    for (const std::string& fault : info.param.faults)
        name += "_" + fault;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

// Keeps gtest from printing a case as its raw bytes.
void PrintTo(const Case& c, std::ostream* out) {
    *out << jobName(c.job);
    for (const std::string& fault : c.faults)
        *out << " " << fault;
}

class FaultMatrix : public testing::TestWithParam<Case> {};

TEST_P(FaultMatrix, RecoversOrFailsCleanlyInBoundedTime) {
    const Case& c = GetParam();
    EmuOptions options;
    options.faults = c.faults;
    if (c.job == Job::Migration671)
        options.firmware = {"Z-Wave 4.61", 1};
    Emu emu = Emu::start(options);

    std::vector<std::string> arguments = {"--reset-pin", "17"};
    const std::string backup = emu.path("backup.bin");
    const std::string nvr = emu.path("nvr.bin");
    const std::vector<uint8_t> image = restoreImage();
    switch (c.job) {
    case Job::Version:
        arguments.push_back("--get-version");
        break;
    case Job::Backup:
        arguments.insert(arguments.end(), {"--backup-nvm", backup});
        break;
    case Job::Restore:
        arguments.insert(arguments.end(), {"--restore-nvm", emu.writeFile("image.bin", image)});
        break;
    case Job::Erase:
        arguments.push_back("--erase-nvm");
        break;
    case Job::Flash:
        arguments.insert(arguments.end(), {"--hex", emu.writeFirmware("firmware.hex", FLASHED)});
        break;
    case Job::Nvr:
        arguments.insert(arguments.end(), {"--read-nvr", nvr});
        break;
    case Job::Migration:
    case Job::Migration671:
        arguments.insert(arguments.end(), {"--migrate-nvm", "--bridge", "--backup-nvm", backup});
        break;
    }
    arguments.insert(arguments.end(), {"--", emu.tty()});

    RunResult r = emu.run(arguments, int(c.maxSeconds * 1000) + 10000);
    std::vector<std::string> lines = messageLines(r.err);
    std::string faults;
    for (const std::string& fault : c.faults)
        faults += (faults.empty() ? "" : " ") + fault;
    std::string ending = c.outcome == Outcome::Recovered ? "recovered" : "failed";
    for (const std::string& line : lines)
        if (c.outcome == Outcome::Failed && !line.empty())
            ending = "failed: " + line; // the last line printed
    std::printf("| %s | %s | %s | %.1f s |\n", jobName(c.job), faults.c_str(), ending.c_str(), r.seconds);

    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_LE(r.seconds, c.maxSeconds);
    if (*c.line) {
        EXPECT_TRUE(hasLine(lines, c.line)) << r.err;
    }
    EXPECT_EQ(temporaryFiles(emu.path("")), 0u);

    const std::vector<uint8_t> original = emu::populatedStaticNvm();
    if (c.outcome == Outcome::Failed) {
        EXPECT_EQ(r.exitStatus, 1) << r.err;
        EXPECT_EQ(lastStatusWord(r.out), "Failed") << r.err;
    } else {
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(lastStatusWord(r.out), "Done") << r.err;
    }

    // The backup: whole once the read succeeded (even when a later step failed), absent otherwise.
    bool readSucceeded = hasLine(lines, "-- Backing up NVM to: " + backup) ||
                         (c.job == Job::Backup && c.outcome == Outcome::Recovered);
    if (asksForBackup(c.job) && readSucceeded) {
        std::vector<uint8_t> expected = original;
        expected.resize(c.backupSize);
        EXPECT_EQ(Emu::readFile(backup), expected);
    } else {
        EXPECT_NE(access(backup.c_str(), F_OK), 0) << "a backup file without a successful read";
    }
    if ((c.job == Job::Migration || c.job == Job::Migration671) && c.outcome == Outcome::Recovered) {
        EXPECT_TRUE(readSucceeded) << "a migration must back up before it flashes";
    }

    if (c.outcome == Outcome::Failed)
        return;
    switch (c.job) {
    case Job::Version:
        EXPECT_TRUE(hasLine(lines, "Z-Wave 4.62 Static controller library")) << r.err;
        break;
    case Job::Backup:
        break;
    case Job::Restore:
        EXPECT_EQ(emu.nvm(), image);
        break;
    case Job::Erase:
        EXPECT_GE(emu.count(" event nvm set-default"), 1u);
        EXPECT_NE(emu.nvm(), original);
        break;
    case Job::Flash:
        EXPECT_EQ(emu.flash(), Emu::firmwareImage(FLASHED));
        break;
    case Job::Nvr:
        EXPECT_EQ(Emu::readFile(nvr), emu.nvr());
        break;
    case Job::Migration:
    case Job::Migration671:
        EXPECT_EQ(emu.flash(), Emu::firmwareImage(EmuOptions{}.bridge));
        EXPECT_NE(emu.nvm(), original);
        break;
    }
}

constexpr Outcome R = Outcome::Recovered;
constexpr Outcome F = Outcome::Failed;

// clang-format off
const Case CASES[] = {
    // Reading the version: 5 requests of 1.5 s each.
    {Job::Version, {"drop-reply:get-version:1"}, R, "", 5},
    {Job::Version, {"corrupt-checksum:get-version:1"}, R, "", 3},
    {Job::Version, {"late-reply:get-version:1:2000"}, R, "", 5},
    {Job::Version, {"unrelated-frame-first:get-version:1"}, R, "", 3},
    {Job::Version, {"garbage-before-frames"}, R, "", 3},
    {Job::Version, {"garbage-before-frames:64"}, R, "", 3},
    {Job::Version, {"boot-fail"}, F, "Error: failed to get version", 12},

    // Backup.
    {Job::Backup, {"drop-reply:nvm-read:5"}, R, "", 5},
    {Job::Backup, {"corrupt-checksum:nvm-read:5"}, R, "", 3},
    {Job::Backup, {"late-reply:nvm-read:5:2000"}, R, "", 6},
    {Job::Backup, {"unrelated-frame-first:nvm-read:5"}, R, "", 3},
    {Job::Backup, {"garbage-before-frames"}, R, "", 3},
    {Job::Backup, {"nvm-wrong-offset:5"}, R, "", 3},
    {Job::Backup, {"nvm-wrong-offset:5", "nvm-wrong-offset:6", "nvm-wrong-offset:7"}, R, "", 3},
    {Job::Backup, {"nvm-size:16378"}, R, "Info: Discarding 6 trailing zero-bytes.", 3, 16378},
    {Job::Backup, {"nvm-eof-at:16000"}, F, "Got EOF before advertised NVM size", 3},
    {Job::Backup, {"drop-reply:nvm-open:1"}, R, "", 5},
    {Job::Backup, {"late-reply:nvm-open:1:2000"}, R, "", 6},
    {Job::Backup, {"drop-reply:nvm-close:1"}, R, "", 5},
    {Job::Backup, {"boot-fail"}, F, "NVM could not be opened", 10},

    // Restore: reset, erase, open, 256 writes, reset; 4 attempts.
    {Job::Restore, {"drop-reply:nvm-write:10"}, R, "", 5},
    {Job::Restore, {"corrupt-checksum:nvm-write:10"}, R, "", 3},
    {Job::Restore, {"late-reply:nvm-write:10:2000"}, R, "", 8},
    {Job::Restore, {"unrelated-frame-first:nvm-write:10"}, R, "", 3},
    {Job::Restore, {"garbage-before-frames"}, R, "", 3},
    {Job::Restore, {"corrupt-checksum:set-default:1"}, R, "", 3},
    {Job::Restore, {"late-reply:set-default:1:300"}, R, "", 3},
    {Job::Restore, {"unrelated-frame-first:set-default:1"}, R, "", 3},
    {Job::Restore, {"drop-reply:nvm-open:1"}, R, "", 5},
    {Job::Restore, {"nvm-size:16000"}, R, "Trying to write anyway, and hoping for the best.", 3},
    {Job::Restore, {"boot-fail"}, F, "Error: failed to write NVM", 12},

    // Erase (set default and its callback).
    {Job::Erase, {"corrupt-checksum:set-default:1"}, R, "", 3},
    {Job::Erase, {"late-reply:set-default:1:300"}, R, "", 3},
    {Job::Erase, {"unrelated-frame-first:set-default:1"}, R, "", 3},
    {Job::Erase, {"garbage-before-frames"}, R, "", 3},

    // Flash: sectors retried after a restart, runs retried after a restart, 3 runs at most.
    {Job::Flash, {"fail-sector:5"}, R, "", 6},
    {Job::Flash, {"fail-sector:5:always"}, F, "Expected: <20 05 ff ff>", 30},
    {Job::Flash, {"crc-fail"}, R, "", 8},
    {Job::Flash, {"crc-fail:always"}, F, "", 15},
    {Job::Flash, {"crc-undecided"}, R, "CRC check neither failed nor succeeded", 8},
    {Job::Flash, {"crc-undecided:always"}, F, "CRC check neither failed nor succeeded", 15},
    {Job::Flash, {"enable-on-try:2"}, R, "", 5},
    {Job::Flash, {"enable-reply:ac53aa00"}, F, "Response: <ac 53 aa 00>", 5},
    {Job::Flash, {"drop-reply:write-sram:3"}, R, "Response: <>", 8},
    {Job::Flash, {"corrupt-checksum:continue-write:100"}, R, "", 6},
    {Job::Flash, {"late-reply:continue-write:100:1500"}, R, "", 8},
    {Job::Flash, {"drop-reply:check-state:5"}, R, "Recvd: <>", 8},
    {Job::Flash, {"drop-reply:crc-check:1"}, R, "", 6},
    {Job::Flash, {"drop-reply:erase-sector:2"}, R, "", 8},

    // NVR dump (the stop at address 100 is a case of the flash end-to-end tests).
    {Job::Nvr, {"drop-reply:read-nvr:10"}, R, "Recvd: <>", 4},
    {Job::Nvr, {"late-reply:read-nvr:10:1500"}, R, "", 6},
    {Job::Nvr, {"silent-after:50"}, F, "Recvd: <>", 8},
    {Job::Nvr, {"enable-on-try:2"}, R, "", 4},
    {Job::Nvr, {"enable-reply:ac53aa00"}, F, "Expected: <ac 53 aa 55>", 5},

    // Migration of a 4.62 module with a backup: version, read, backup, flash, version, restore.
    {Job::Migration, {"drop-reply:get-version:1"}, R, "", 8},
    {Job::Migration, {"unrelated-frame-first:frame:3"}, R, "", 6},
    {Job::Migration, {"garbage-before-frames"}, R, "", 6},
    {Job::Migration, {"corrupt-checksum:nvm-read:5"}, R, "", 6},
    {Job::Migration, {"nvm-wrong-offset:5"}, R, "", 6},
    {Job::Migration, {"nvm-eof-at:16000"}, F, "Error: failed to read NVM", 6},
    {Job::Migration, {"fail-sector:5"}, R, "", 8},
    {Job::Migration, {"crc-fail"}, R, "", 10},
    {Job::Migration, {"enable-reply:ac53aa00"}, F, "Error: flashing failed", 8},
    {Job::Migration, {"late-reply:set-default:1:300"}, R, "", 6},
    {Job::Migration, {"drop-reply:nvm-write:10"}, R, "", 8},
    {Job::Migration, {"boot-fail"}, F, "Error: failed to get version", 12},

    // A 4.61 module: migrated only with a backup, put back on failure.
    {Job::Migration671, {"fail-sector:5"}, R, "", 8},
    {Job::Migration671, {"enable-reply:ac53aa00"}, F, "Error: Could not restore backup after migration failure", 10},
};
// The long cases, each a bound of the tool that only a module stuck for good reaches.
const Case LONG_CASES[] = {
    // Stuck busy: 5 sector attempts of 2 s each, then two more runs that stop at their first wait.
    {Job::Flash, {"busy-forever"}, F, "Error: Flash state machine still busy after 2000 ms", 30},
    // Silent in the middle of the read: 8 requests of 1.5 s, then 3 closes of 1.5 s.
    {Job::Backup, {"silent-after:100"}, F, "timed out", 25},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Jobs, FaultMatrix, testing::ValuesIn(CASES), caseName);
INSTANTIATE_TEST_SUITE_P(LongWaits, FaultMatrix, testing::ValuesIn(LONG_CASES), caseName);

} // namespace
