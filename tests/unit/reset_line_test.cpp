// The reset line on a fake sysfs GPIO, for what the emulator's line never does: refuse a write,
// be busy, be lost to another program; and the exact timing of the reset pulse and of the
// permission retries. Export, unexport and the order of the levels in a run show in the
// end-to-end runs' traces.
#include "gpio/Pin.hpp"
#include "gpio/paths.hpp"
#include "rawio/Files.hpp"
#include "zwave/Chip.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/FakeGpio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <pty.h>
#include <unistd.h>

namespace {

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

using gpiofs::Event;
using Lines = std::vector<std::string>;
constexpr unsigned RESET_GPIO = 17;
constexpr unsigned REFERENCE_GPIO = 18;
constexpr int SETTLE_US = 7500;

// "kind gpio text" for each write the fake saw from event `from` on, with " !errno" when refused.
Lines writes(const gpiofs::GpioFs& fs, size_t from = 0) {
    static const char* const KINDS[] = {"export", "unexport", "direction", "value"};
    std::vector<Event> events = fs.events();
    Lines seen;
    for (size_t i = from; i < events.size(); ++i) {
        seen.push_back(std::string(KINDS[events[i].kind]) + " " + std::to_string(events[i].gpio) + " " +
                       events[i].text);
        if (events[i].error != 0)
            seen.back() += " !" + std::to_string(events[i].error);
    }
    return seen;
}

// The stamps of the writes of `kind` to `gpio` from event `from` on.
std::vector<int64_t> stamps(const gpiofs::GpioFs& fs, size_t from, Event::Kind kind, unsigned gpio) {
    std::vector<Event> events = fs.events();
    std::vector<int64_t> found;
    for (size_t i = from; i < events.size(); ++i)
        if (events[i].kind == kind && events[i].gpio == gpio)
            found.push_back(events[i].monotonicNs);
    return found;
}

int64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double msBetween(int64_t fromNs, int64_t toNs) {
    return double(toNs - fromNs) / 1e6;
}

std::string gpioLine(const std::string& text) {
    return std::string(program_invocation_name) + ": " + text;
}

// A pseudo-terminal for the chip's tty; nobody answers on the module's side.
struct Tty {
    Tty() {
        char name[128];
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
    }
    ~Tty() {
        close(master);
        close(slave);
    }
    int master = -1, slave = -1;
    std::string path;
};

class ResetLine : public testsupport::FakeGpioTest {};

TEST_F(ResetLine, ALineThatCannotBeSetUpLeavesTheChipUnusableWithOneLine) {
    struct Row {
        const char* what;
        gpiofs::Faults faults;
        bool exportedBefore;
        Lines writes;
        Lines lines;
    };
    const Row rows[] = {
        {"export refused",
         {.ebusyOnExport = true},
         false,
         {"export 17 17 !16"},
         {gpioLine("GPIO: unable to export GPIO 17.")}},
        {"direction refused",
         {.einvalOnDirection = true},
         false,
         {"export 17 17", "direction 17 low !22", "unexport 17 17"},
         {gpioLine("/sys/class/gpio/gpio17/direction: Write failed")}},
        {"value file refused",
         {.eaccesOnValueOpen = true},
         false,
         {"export 17 17", "direction 17 low", "unexport 17 17"},
         {}},
        // Only a line this run exported may still be getting its permissions: no retry here.
        {"permission denied on a line exported before",
         {.eaccesDirectionWrites = 1},
         true,
         {"direction 17 low !13"},
         {gpioLine("/sys/class/gpio/gpio17/direction: Permission denied")}},
    };
    Tty tty;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        gpio.fs.setFaults(row.faults);
        if (row.exportedBefore)
            gpio.fs.preExport(RESET_GPIO, "in");
        size_t seen = gpio.fs.events().size();
        ConsoleCapture console;
        {
            Chip chip(tty.path.c_str(), RESET_GPIO, ChipMode::Run);
            EXPECT_FALSE(chip.isUsable());
            EXPECT_FALSE(chip.setMode(ChipMode::Programming));
        }
        EXPECT_EQ(writes(gpio.fs, seen), row.writes);
        EXPECT_EQ(console.lines(), row.lines);
    }
}

// A line exported before the run is set to output at the level asked for, without a glitch to the
// other level, pulsed and left exported; one we exported and someone else unexported is reported.
TEST_F(ResetLine, ALineIsLeftAsItWasFound) {
    Tty tty;
    gpio.fs.preExport(RESET_GPIO, "out", 1);
    {
        Chip chip(tty.path.c_str(), RESET_GPIO, ChipMode::Run);
        EXPECT_TRUE(chip.isUsable());
    }
    EXPECT_EQ(writes(gpio.fs), (Lines{"direction 17 low", "value 17 0", "value 17 1"}));
    EXPECT_TRUE(gpio.fs.isExported(RESET_GPIO));

    ConsoleCapture console;
    {
        Chip chip(tty.path.c_str(), REFERENCE_GPIO, ChipMode::Run);
        ASSERT_TRUE(chip.isUsable());
        ASSERT_EQ(RawIO::writeStringFile(gpio::unexportPath, "18"), RawIO::OK);
    }
    EXPECT_EQ(console.lines(), Lines{gpioLine("GPIO: unable to unexport GPIO 18.")});
}

// Scheduling delays only ever add to a gap, so a lower bound is exact. For the upper bound each
// round gives the gaps the code left and reference gaps: the same sleeps between the test's own
// writes, on the same machine at the same moment. Rounds go on, up to 20, until the shortest of
// each gap is within SLACK_MS of its shortest reference.
using Gaps = std::vector<std::pair<double, double>>; // (measured, reference) in ms
constexpr double SLACK_MS = 0.5;

void expectNearReference(const std::function<Gaps()>& round) {
    Gaps best;
    auto near = [&best] {
        return !best.empty() &&
               std::all_of(best.begin(), best.end(), [](const std::pair<double, double>& gap) {
                   return gap.first < gap.second + SLACK_MS;
               });
    };
    for (int i = 0; i < 20 && !near(); ++i) {
        Gaps gaps = round();
        if (gaps.empty() || (!best.empty() && gaps.size() != best.size()))
            return; // the round failed already
        if (best.empty())
            best = gaps;
        for (size_t g = 0; g < gaps.size(); ++g)
            best[g] = {std::min(best[g].first, gaps[g].first), std::min(best[g].second, gaps[g].second)};
    }
    for (size_t g = 0; g < best.size(); ++g)
        EXPECT_LT(best[g].first, best[g].second + SLACK_MS) << "gap " << g << " (ms)";
}

TEST_F(ResetLine, TheResetPulseHoldsEachLevelForItsTime) {
    Tty tty;
    Pin reference(REFERENCE_GPIO, true, 1);
    expectNearReference([&]() -> Gaps {
        size_t seen = gpio.fs.events().size();
        int64_t endNs;
        {
            Chip chip(tty.path.c_str(), RESET_GPIO, ChipMode::Run);
            endNs = nowNs();
            EXPECT_TRUE(chip.isUsable());
        }
        // Released after the pulse, and let go on destruction without being driven.
        EXPECT_EQ(writes(gpio.fs, seen),
                  (Lines{"export 17 17", "direction 17 low", "value 17 0", "value 17 1", "unexport 17 17"}));
        std::vector<int64_t> pulse = stamps(gpio.fs, seen, Event::Value, RESET_GPIO);
        if (pulse.size() != 2)
            return {};
        seen = gpio.fs.events().size();
        reference.setValue(0);
        usleep(SETTLE_US);
        int64_t sleptNs = nowNs();
        reference.setValue(1);
        std::vector<int64_t> own = stamps(gpio.fs, seen, Event::Value, REFERENCE_GPIO);
        double heldMs = msBetween(pulse[0], pulse[1]), settledMs = msBetween(pulse[1], endNs);
        EXPECT_GE(heldMs, 7.5);
        EXPECT_GE(settledMs, 7.5);
        return {{heldMs, msBetween(own[0], own[1])}, {settledMs, msBetween(own[0], sleptNs)}};
    });

    // A mode change holds the new level for the same time; a reset in programming mode pulses high.
    Chip chip(tty.path.c_str(), RESET_GPIO, ChipMode::Run);
    int64_t startNs = nowNs();
    EXPECT_TRUE(chip.setMode(ChipMode::Programming));
    EXPECT_GE(msBetween(startNs, nowNs()), 7.5);
    size_t seen = gpio.fs.events().size();
    EXPECT_TRUE(chip.hardwareReset());
    EXPECT_EQ(writes(gpio.fs, seen), (Lines{"value 17 1", "value 17 0"}));
    std::vector<int64_t> pulse = stamps(gpio.fs, seen, Event::Value, RESET_GPIO);
    ASSERT_EQ(pulse.size(), 2u);
    EXPECT_GE(msBetween(pulse[0], pulse[1]), 7.5);
}

// After an export udev may still be setting the new files' permissions: a refused direction write
// is tried again after 1, 2 and 4 ms.
TEST_F(ResetLine, PermissionDeniedAfterOurExportIsRetriedWithDoublingSleeps) {
    Pin reference(REFERENCE_GPIO, true, 1);
    gpio.fs.setFaults({.eaccesDirectionWrites = 3});
    const std::string referenceValue = gpio::valuePath(REFERENCE_GPIO);
    expectNearReference([&]() -> Gaps {
        size_t seen = gpio.fs.events().size();
        ConsoleCapture console;
        EXPECT_TRUE(Pin(RESET_GPIO, true, 0).isOpen());
        EXPECT_EQ(console.lines(), Lines{});
        EXPECT_EQ(writes(gpio.fs, seen),
                  (Lines{"export 17 17", "direction 17 low !13", "direction 17 low !13",
                         "direction 17 low !13", "direction 17 low", "unexport 17 17"}));
        std::vector<int64_t> tries = stamps(gpio.fs, seen, Event::Direction, RESET_GPIO);
        if (tries.size() != 4)
            return {};
        Gaps gaps;
        for (unsigned retry = 0; retry < 3; ++retry) {
            const unsigned sleepUs = 1024u << retry;
            double gapMs = msBetween(tries[retry], tries[retry + 1]);
            EXPECT_GE(gapMs, sleepUs / 1000.0) << "retry " << retry;
            seen = gpio.fs.events().size();
            RawIO::writeStringFile(referenceValue.c_str(), "0");
            usleep(sleepUs);
            RawIO::writeStringFile(referenceValue.c_str(), "1");
            std::vector<int64_t> own = stamps(gpio.fs, seen, Event::Value, REFERENCE_GPIO);
            gaps.push_back({gapMs, msBetween(own[0], own[1])});
        }
        return gaps;
    });
}

} // namespace
