// SIGINT and SIGTERM at random moments of every job, end to end against the emulator. Whatever the
// moment, the tool ends within two seconds with exit status 1 and "Cancelled" as its last status
// word, gives the reset line back when it exported it, leaves no partial backup or NVR file, and
// the module answers the next run. TARNWICK_SIGNAL_SEED replays a run of moments.
#include "support/EmuHarness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <optional>
#include <random>
#include <unistd.h>

using namespace emutest;

namespace {

unsigned seed() {
    static const unsigned value = [] {
        const char* given = getenv("TARNWICK_SIGNAL_SEED");
        unsigned chosen = given != nullptr ? unsigned(strtoul(given, nullptr, 10)) : unsigned(time(nullptr));
        printf("signal moments: TARNWICK_SIGNAL_SEED=%u\n", chosen);
        return chosen;
    }();
    return value;
}

// The last word drawn on the status line: the text after the last redraw, without padding.
std::string statusWord(const std::string& out) {
    size_t end = out.find_last_not_of(" \r\n");
    if (end == std::string::npos)
        return "";
    size_t start = out.find_last_of(" \r\n", end);
    return out.substr(start == std::string::npos ? 0 : start + 1,
                      end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::vector<std::string> filesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir))
            names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

bool fileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// How the signalled runs of one job ended.
struct Tally {
    unsigned cancelled = 0;   // the signal came during the run: "Cancelled", exit 1
    unsigned completed = 0;   // the signal came as the run was ending: "Done", exit 0
    unsigned endedBefore = 0; // the run had ended before the moment
    unsigned notStarted = 0;  // the signal came before the tool armed its handlers: killed by it
    double slowestExit = 0;   // seconds from the signal to the exit
};

struct Job {
    const char* name;
    std::vector<std::string> (*arguments)(const Emu& emu);
    // The file the job writes that must be absent or whole after a cancel ("" when none).
    const char* output;
    EmuOptions options{};
    // A fresh emulator for every run: the migration changes the module for good.
    bool freshModule = false;
};

class Signals : public ::testing::Test {
protected:
    // Runs `job` once without a signal to learn its length and its output, then `runs` times with
    // a signal at a random moment of that length.
    Tally exercise(const Job& job, unsigned runs, unsigned jobIndex) {
        std::mt19937 random(seed() * 31 + jobIndex);
        Tally tally;

        std::optional<Emu> module(Emu::start(job.options));
        auto outputOf = [&job](const Emu& emu) { return job.output[0] != '\0' ? emu.path(job.output) : ""; };
        std::string output = outputOf(*module);
        // The shorter of two runs: a run slowed down by a busy machine would put most moments after
        // the end of the others.
        double lengthSeconds = 1e9;
        std::vector<uint8_t> complete;
        for (int i = 0; i < 2; ++i) {
            if (i > 0 && job.freshModule) {
                module.reset();
                module.emplace(Emu::start(job.options));
                output = outputOf(*module);
            }
            RunResult clean = module->run(job.arguments(*module), 30000);
            EXPECT_EQ(clean.exitStatus, 0) << job.name << ": " << clean.err;
            EXPECT_EQ(statusWord(clean.out), "Done") << job.name;
            if (!output.empty())
                complete = Emu::readFile(output);
            lengthSeconds = std::min(lengthSeconds, clean.seconds);
            if (clean.seconds > 5)
                printf("%s clean run %d: %.3f s\n", job.name, i, clean.seconds);
        }
        int lengthMs = int(lengthSeconds * 1000);

        for (unsigned run = 0; run < runs; ++run) {
            if (job.freshModule) {
                module.reset();
                module.emplace(Emu::start(job.options));
                output = outputOf(*module);
            }
            const Emu& emu = *module;
            if (!output.empty())
                unlink(output.c_str());
            const int signal = random() % 2 == 0 ? SIGINT : SIGTERM;
            // From 3 ms on: earlier, the program is mostly still starting and has not armed its handlers.
            const int delayMs = 3 + int(random() % unsigned(std::max(lengthMs - 2, 1)));
            SCOPED_TRACE(std::string(job.name) + " run " + std::to_string(run) + ": " + strsignal(signal) +
                         " after " + std::to_string(delayMs) +
                         " ms (TARNWICK_SIGNAL_SEED=" + std::to_string(seed()) + ")");

            RunResult r = emu.run(job.arguments(emu), SignalPlan{signal, delayMs, ""}, 10000);
            if (r.seconds > 5)
                printf("%s run %u: %.3f s, signal at %.3f s\n", job.name, run, r.seconds, r.signalledAt);
            EXPECT_FALSE(r.timedOut) << r.out << r.err;
            if (r.timedOut)
                return tally;
            const std::string word = statusWord(r.out);
            if (r.signalledAt < 0) {
                ++tally.endedBefore;
                // A busy machine made the undisturbed runs slow: aim within this run's length.
                lengthMs = std::min(lengthMs, std::max(int(r.seconds * 1000), 4));
                EXPECT_EQ(r.exitStatus, 0);
            } else if (r.exitStatus == -1 && r.out.empty() && r.signalledAt < 0.05) {
                // Still starting: the default action ended it before anything was opened.
                ++tally.notStarted;
            } else {
                const double exitDelay = r.seconds - r.signalledAt;
                tally.slowestExit = std::max(tally.slowestExit, exitDelay);
                EXPECT_LT(exitDelay, 2.0);
                // Giving the reset line back takes a while on a busy machine.
                if (r.exitStatus == 0 && word == "Done" && exitDelay < 0.5) {
                    // The jobs had ended; only the way out was left.
                    ++tally.completed;
                } else {
                    ++tally.cancelled;
                    EXPECT_EQ(r.exitStatus, 1) << r.err;
                    EXPECT_EQ(word, "Cancelled") << r.out << "\n" << r.err;
                }
            }
            // The reset line is given back: the emulator starts with it unexported.
            EXPECT_FALSE(fileExists("/sys/class/gpio/gpio" + std::to_string(job.options.gpio)));
            if (!output.empty()) {
                if (fileExists(output)) {
                    EXPECT_EQ(Emu::readFile(output), complete) << "partial " << job.output;
                }
                for (const std::string& name : filesIn(emu.path("")))
                    EXPECT_EQ(name.find(".tmp-"), std::string::npos) << "left behind: " << name;
            }
        }

        // The module and its tty are free for the next run.
        if (!job.freshModule) {
            RunResult after = module->run(job.arguments(*module), 30000);
            EXPECT_EQ(after.exitStatus, 0) << job.name << " after the signals: " << after.err;
            if (after.seconds > 5)
                printf("%s after the signals: %.3f s\n", job.name, after.seconds);
        }
        printf("%-9s %2u moments in %.3f s: %u cancelled, %u completed, %u ended before, %u not started; "
               "slowest exit %.3f s\n",
               job.name, runs, lengthSeconds, tally.cancelled, tally.completed, tally.endedBefore,
               tally.notStarted, tally.slowestExit);
        return tally;
    }
};

std::vector<std::string> version(const Emu& emu) {
    return {"--reset-pin", "17", "--get-version", "--", emu.tty()};
}

std::vector<std::string> backup(const Emu& emu) {
    return {"--reset-pin", "17", "--backup-nvm", emu.path("backup.bin"), "--", emu.tty()};
}

std::vector<std::string> restore(const Emu& emu) {
    if (!fileExists(emu.path("restore.bin"))) {
        std::vector<uint8_t> bytes(16384);
        for (size_t i = 0; i < 2000; ++i)
            bytes[i] = uint8_t(i * 13 + 1);
        emu.writeFile("restore.bin", bytes);
    }
    return {"--reset-pin", "17", "--restore-nvm", emu.path("restore.bin"), "--", emu.tty()};
}

std::vector<std::string> erase(const Emu& emu) {
    return {"--reset-pin", "17", "--erase-nvm", "--", emu.tty()};
}

std::vector<std::string> flash(const Emu& emu) {
    if (!fileExists(emu.path("firmware.hex")))
        emu.writeFirmware("firmware.hex", {"Z-Wave 4.62", 1, 16384, 8 * 1024});
    return {"--reset-pin", "17", "--hex", emu.path("firmware.hex"), "--", emu.tty()};
}

std::vector<std::string> nvr(const Emu& emu) {
    return {"--reset-pin", "17", "--read-nvr", emu.path("nvr.bin"), "--", emu.tty()};
}

std::vector<std::string> migration(const Emu& emu) {
    return {"--reset-pin",          "17", "--bridge", "--migrate-nvm", "--backup-nvm",
            emu.path("backup.bin"), "--", emu.tty()};
}

EmuOptions smallBridge() {
    EmuOptions options;
    options.bridge.codeSize = 8 * 1024;
    return options;
}

} // namespace

TEST_F(Signals, SerialApiJobs) {
    Tally total;
    const Job jobs[] = {{"version", version, ""},
                        {"backup", backup, "backup.bin"},
                        {"restore", restore, ""},
                        {"erase", erase, ""}};
    unsigned index = 0;
    for (const Job& job : jobs) {
        Tally tally = exercise(job, 16, index++);
        total.cancelled += tally.cancelled;
    }
    // Most moments fall inside the runs; a seed that misses them all would test nothing.
    EXPECT_GE(total.cancelled, 32u);
}

TEST_F(Signals, ProgrammingJobs) {
    Tally total;
    const Job jobs[] = {{"flash", flash, ""}, {"nvr", nvr, "nvr.bin"}};
    unsigned index = 10;
    for (const Job& job : jobs) {
        Tally tally = exercise(job, 18, index++);
        total.cancelled += tally.cancelled;
    }
    EXPECT_GE(total.cancelled, 18u);
}

TEST_F(Signals, Migration) {
    Job job{"migration", migration, "backup.bin", smallBridge(), true};
    Tally tally = exercise(job, 14, 20);
    EXPECT_GE(tally.cancelled, 7u);
}
