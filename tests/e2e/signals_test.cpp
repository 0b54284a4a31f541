// Cancelling the real tool with SIGINT or SIGTERM: it ends "Cancelled" with exit status 1 within
// the hang guard, sends at most the requests already under way, gives the reset line back and
// leaves no partial file. The Cancel rows pin the lines at chosen moments. The Moments rows send a
// signal at random moments of every job, moments defined by what the tool has done: after the k-th
// trace line of the run that holds one of the job's texts. A late reply or a slow module at the end
// of each job keeps every moment inside it, whatever the machine's load; where in the job the signal
// lands is up to the load. The seed, TARNWICK_SIGNAL_SEED or the time, replays a set of moments.
#include "Table.hpp"

#include <csignal>
#include <random>
#include <unistd.h>

namespace emutest {
namespace {

// clang-format off
std::vector<Row> chosenMoments() {
    return {
        // The tool waits for the started notification of a module that does not boot.
        {.name = "interrupt_while_waiting_for_a_silent_chip",
         .arguments = {"--reset-pin", "17", "--get-version", "@tty"}, .exitStatus = 1, .word = "Cancelled",
         .counts = {{" in frame get-version ", 0}}, .options = {.faults = {"boot-fail"}},
         .signal = {SIGINT, 100, " line reset 1"}},
        // After the version, the next connection waits for a started notification of the running chip;
        // the migration leaves without an error line of its own.
        {.name = "terminate_while_a_migration_connects", .arguments = {"--reset-pin", "17", "--migrate-nvm",
         "--bridge", "@tty"}, .exitStatus = 1, .word = "Cancelled",
         .lines = Lines(MIGRATED.begin(), MIGRATED.begin() + 3), // up to "-- Reading NVM"
         .counts = {{" in frame nvm-", 0}}, .signal = {SIGTERM, 300, " out frame get-version "}},
        // No error and no restore: the backup taken before the flash stays.
        {.name = "interrupt_during_the_bridge_flash_of_a_migration", .arguments = {"--reset-pin", "17",
         "--backup-nvm", "@backup.bin", "--migrate-nvm", "--bridge", "@tty"},
         .exitStatus = 1, .word = "Cancelled",
         .lines = {"-- Starting migration", "Version: Z-Wave 4.61 Static controller library",
                   "-- Reading NVM", "Warning: Migrating this version is not officially supported. Making a "
                   "backup and trying to migrate as if SDK version was 6.61.",
                   "-- Backing up NVM to: @backup.bin", "-- Flashing: Bridge controller library (--bridge)"},
         .counts = {{" event crc ", 0}}, .options = {.firmware = {"Z-Wave 4.61", 1}, .writeMs = 100},
         .files = {{"@backup.bin", staticNvm}}, .signal = {SIGINT, 50, " in prog write-flash-sector "}},
    };
}

// clang-format on

// After the k-th trace line holding `text`, k up to `count`.
using Moment = Count;

struct Job {
    Row row; // its `lines`: what the job prints, up to where the signal lands
    std::vector<Moment> moments;
    unsigned runs;
    unsigned id;             // picks the job's own sequence of moments
    std::string output = ""; // the file the job writes, absent or whole after a cancel, and its bytes
    Make whole = nullptr;

    friend void PrintTo(const Job& job, std::ostream* out) { *out << job.row.name; }
};

// The job's runs, each a row of its own with an emulator of its own, in one test process.
class Moments : public testing::TestWithParam<Job> {};

TEST_P(Moments, CancelledWherever) {
    const Job& job = GetParam();
    std::mt19937 random(signalSeed() * 31 + job.id);
    for (unsigned run = 0; run < job.runs; ++run) {
        const Moment& moment = job.moments[random() % job.moments.size()];
        const int signal = random() % 2 ? SIGINT : SIGTERM;
        Row row = job.row;
        row.name += " run " + std::to_string(run);
        row.exitStatus = 1;
        row.word = "Cancelled";
        row.linesUpTo = true;
        row.signal = {signal, 0, moment.text, 1 + random() % moment.count};
        // The backup of a migration is written before it flashes.
        if (!job.output.empty())
            row.check = [path = job.output, whole = job.whole](Emu& emu) {
                bool exists = access(expand(path, emu).c_str(), F_OK) == 0;
                EXPECT_TRUE(exists ? Emu::readFile(expand(path, emu)) == whole()
                                   : countLines(emu.trace(), " in prog erase-sector ") == 0)
                    << path << (exists ? " partial" : " missing");
            };
        SCOPED_TRACE(row.name);
        runRow(row);
    }
}

// clang-format off
std::vector<Job> jobs() {
    const std::string reset = "--reset-pin", pin = "17";
    const auto migration = [&](const std::string& name) -> Row {
        return {.name = name, .arguments = {reset, pin, "--backup-nvm", "@backup.bin", "--migrate-nvm",
                "--bridge", "@tty"}, .lines = MIGRATED, .options = {.faults = {"late-reply:nvm-close:2:1000"},
                .bridge = {"Z-Wave 4.81", 7, 16384, 2048}}};
    };
    const std::vector<Moment> migrationMoments = {
        {" in frame nvm-read ", 256}, {" in prog erase-sector ", 64}, {" in frame nvm-write ", 193}};
    // The opening's reset pulse and the job's own requests: lines the tool causes, never the
    // emulator's own boot at its start.
    const Moment pulse = {" line reset ", 3}, pulses = {" line reset ", 4}, requests = {" in ", 2};
    return {
        {{.name = "version", .arguments = {reset, pin, "--get-version", "@tty"},
          .options = {.faults = {"late-reply:get-version:1:1000"}}}, {pulse, requests}, 16, 0},
        {{.name = "backup", .arguments = {reset, pin, "--backup-nvm", "@backup.bin", "@tty"},
          .options = {.faults = {"late-reply:nvm-close:1:1000"}}},
         {pulse, {" in frame nvm-read ", 256}}, 16, 1, "@backup.bin", staticNvm},
        {{.name = "restore", .arguments = {reset, pin, "--restore-nvm", "@restore.bin", "@tty"},
          .options = {.faults = {"late-reply:nvm-close:1:1000"}}, .inputs = {{"restore.bin", nvmNoZeros}}},
         {pulse, {" in frame nvm-write ", 256}}, 16, 2},
        {{.name = "erase", .arguments = {reset, pin, "--erase-nvm", "@tty"},
          .options = {.setDefaultMs = 1000}}, {pulse, requests}, 16, 3},
        {{.name = "flash", .arguments = {reset, pin, "--hex", "@firmware.hex", "@tty"},
          .options = {.firmware = {""}, .crcMs = 1000},
          .inputs = {{"firmware.hex", hexImage({"Z-Wave 4.62", 1, 16384, 2048})}}},
         {pulses, {" in prog erase-sector ", 64}}, 18, 10},
        {{.name = "nvr", .arguments = {reset, pin, "--read-nvr", "@nvr.bin", "@tty"},
          .options = {.faults = {"late-reply:read-nvr:256:800"}}},
         {pulses, {" in prog read-nvr ", 255}}, 18, 11, "@nvr.bin", defaultNvr},
        // Migrations take seconds each: two tests, run side by side.
        {migration("migration"), migrationMoments, 4, 20, "@backup.bin", staticNvm},
        {migration("migration_more"), migrationMoments, 4, 21, "@backup.bin", staticNvm},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cancel, Tool, testing::ValuesIn(chosenMoments()), rowName);
INSTANTIATE_TEST_SUITE_P(Signals, Moments, testing::ValuesIn(jobs()),
                         [](const testing::TestParamInfo<Job>& info) { return info.param.row.name; });

} // namespace
} // namespace emutest
