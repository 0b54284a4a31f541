// The chip's tty and reset line, for what the emulator's pty and line never do: settings a careless
// earlier user left behind, a second user kept out, other processes and the kernel console sharing
// the device; a GPIO write refused, a line busy, exported before or lost to another program; and
// the exact timing of the reset pulse and of the permission retries. Export, unexport and the
// levels of a run show in the end-to-end runs' traces.
#include "gpio/Pin.hpp"
#include "gpio/paths.hpp"
#include "rawio/Files.hpp"
#include "zwave/Chip.hpp"
#include "zwave/TtySharing.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/FakeGpio.hpp"
#include "support/ScriptedPeer.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

// The module's end of the serial line: the pseudo-terminal's master side. The tty is left as a
// careless earlier user may have left it: cooked, hang-up on close, two stop bits, flow control.
struct Line {
    Line() {
        int slave = -1;
        char name[128];
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        termios cooked;
        tcgetattr(slave, &cooked);
        cooked.c_iflag |= IXON | IXOFF | IXANY;
        cooked.c_cflag |= HUPCL | CSTOPB;
        cooked.c_lflag |= ICANON | ECHO;
        cfsetspeed(&cooked, B9600);
        tcsetattr(slave, TCSANOW, &cooked);
        close(slave);
    }
    ~Line() { close(master); }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        usleep(5000);
    }

    int master = -1;
    std::string path;
};

Bytes readFrom(Chip& chip, int timeoutMs) {
    uint8_t into[16];
    Span got = chip.read(Span(into), timeoutMs);
    return Bytes(got.begin(), got.end());
}

TEST(ChipTty, IsRawAt115200WithoutHangUpAndStaysNonBlocking) {
    Line line;
    line.send({0x55, 0x55}); // pending input is dropped when the settings are applied
    Chip chip(line.path.c_str(), ChipMode::Run);
    ASSERT_TRUE(chip.isUsable());
    termios settings;
    ASSERT_EQ(tcgetattr(chip.tty.get(), &settings), 0);
    EXPECT_EQ(cfgetispeed(&settings), speed_t(B115200));
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B115200));
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD | HUPCL | CSIZE | PARENB), tcflag_t(CLOCAL | CREAD | CS8));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u) << "stop bits are left as they were";
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u) << "XON and XOFF are bytes of frames";
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_NE(fcntl(chip.tty.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(readFrom(chip, 100), Bytes{});
    // Without a reset line the chip stays in its mode for good.
    EXPECT_TRUE(chip.setMode(ChipMode::Run));
    EXPECT_FALSE(chip.setMode(ChipMode::Programming));
    EXPECT_FALSE(chip.hardwareReset());

    ConsoleCapture console;
    Chip null("/dev/null", ChipMode::Run);
    EXPECT_FALSE(null.isUsable());
    EXPECT_EQ(console.lines(), Lines{"configureTTY: An error occurred while configuring tty /dev/null: " +
                                     std::string(std::strerror(ENOTTY))});
}

int exclusiveMode(const std::string& path) {
    FileDescriptor tty(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    int exclusive = -1;
    EXPECT_EQ(ioctl(tty.get(), TIOCGEXCL, &exclusive), 0);
    return exclusive;
}

// Root opens an exclusive tty all the same: the lock is what keeps a second chip out.
TEST(ChipTty, IsHeldByOneChipAtATime) {
    Line line;
    {
        Chip first(line.path.c_str(), ChipMode::Run);
        ASSERT_TRUE(first.isUsable());
        EXPECT_EQ(exclusiveMode(line.path), 1);
        line.send({0x06});
        ConsoleCapture console;
        Chip second(line.path.c_str(), ChipMode::Run);
        EXPECT_FALSE(second.isUsable());
        EXPECT_EQ(console.lines(),
                  Lines{"openTTY: tty " + line.path + " is in use by another program (locked)"});
        // The second chip never applied its settings, which would have flushed the first's input.
        EXPECT_EQ(readFrom(first, 5000), Bytes{0x06});
    }
    // Both the lock and the exclusive mode are gone with the chip.
    EXPECT_EQ(exclusiveMode(line.path), 0);
    EXPECT_TRUE(Chip(line.path.c_str(), ChipMode::Run).isUsable());
}

TEST(SharedTty, OtherProcessesHoldingTheDeviceAreNamedOnce) {
    Line line;
    // A child that holds /dev/zero twice and the pty, under the command name "tty-holder"; and
    // this process, which never counts.
    FileDescriptor zero(open("/dev/zero", O_RDONLY)), again(open("/dev/zero", O_RDONLY));
    FileDescriptor pty(open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
        prctl(PR_SET_NAME, "tty-holder");
        _exit(write(ready[1], "", 1) == 1 ? pause() : 1);
    }
    char byte;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    struct stat device;
    EXPECT_EQ(fstat(zero.get(), &device), 0);
    ConsoleCapture console;
    warnProcessesHolding(device.st_rdev, "/dev/zero");
    Lines lines = console.lines();
    // Other processes on the machine may hold /dev/zero as well.
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Warning: /dev/zero is also open in process " + std::to_string(holder) +
                             " (tty-holder); it may take the module's replies"),
              1);
    for (const std::string& text : lines)
        EXPECT_EQ(text.find("process " + std::to_string(getpid()) + " "), std::string::npos) << text;

    // The other side of a pseudo-terminal is held by design: no scan, though the child holds it.
    ConsoleCapture ptyConsole;
    warnAboutSharedTty(pty.get(), line.path.c_str());
    EXPECT_EQ(ptyConsole.lines(), Lines{});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    for (int end : ready)
        close(end);
}

TEST(SharedTty, AKernelConsoleIsFoundByItsDeviceNumber) {
    char directory[] = "/tmp/tarnwick-console-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    std::filesystem::path root = directory;
    for (const auto& [file, text] :
         {std::pair{"console/active", "tty0 ttyS1\n"}, {"tty0/dev", "4:0\n"}, {"ttyS1/dev", "4:65\n"}}) {
        std::filesystem::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    }
    EXPECT_TRUE(isKernelConsole(makedev(4, 65), directory));
    EXPECT_TRUE(isKernelConsole(makedev(4, 0), directory));
    EXPECT_FALSE(isKernelConsole(makedev(4, 6), directory));
    EXPECT_FALSE(isKernelConsole(makedev(4, 64), directory));
    EXPECT_FALSE(isKernelConsole(makedev(4, 65), (root / "missing").c_str()));
    std::filesystem::remove_all(root);
}

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

using gpiofs::Event;
constexpr unsigned RESET = 17, OTHER = 18;

// "kind gpio text" for each write the fake saw from event `from` on, with " !errno" when refused.
Lines writes(const gpiofs::GpioFs& fs, size_t from) {
    static const char* const KINDS[] = {"export", "unexport", "direction", "value"};
    std::vector<Event> events = fs.events();
    Lines seen;
    for (size_t i = from; i < events.size(); ++i)
        seen.push_back(std::string(KINDS[events[i].kind]) + " " + std::to_string(events[i].gpio) + " " +
                       events[i].text + (events[i].error ? " !" + std::to_string(events[i].error) : ""));
    return seen;
}

// When the writes of `kind` to `gpio` from event `from` on were served, in milliseconds.
std::vector<double> stampsMs(const gpiofs::GpioFs& fs, size_t from, Event::Kind kind, unsigned gpio) {
    std::vector<Event> events = fs.events();
    std::vector<double> found;
    for (size_t i = from; i < events.size(); ++i)
        if (events[i].kind == kind && events[i].gpio == gpio)
            found.push_back(double(events[i].monotonicNs) / 1e6);
    return found;
}

double nowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

std::string gpioLine(const std::string& text) {
    return std::string(program_invocation_name) + ": " + text;
}

class ResetLine : public testsupport::FakeGpioTest {
protected:
    ScriptedPeer module{ScriptedPeer::Cut::Frames};
};

TEST_F(ResetLine, ALineThatCannotBeSetUpLeavesTheChipUnusableWithOneLine) {
    struct Row {
        gpiofs::Faults faults;
        bool exportedBefore;
        Lines writes;
        Lines lines;
    };
    const Row rows[] = {
        {{.ebusyOnExport = true}, false, {"export 17 17 !16"}, {gpioLine("GPIO: unable to export GPIO 17.")}},
        {{.einvalOnDirection = true},
         false,
         {"export 17 17", "direction 17 low !22", "unexport 17 17"},
         {gpioLine("/sys/class/gpio/gpio17/direction: Write failed")}},
        {{.eaccesOnValueOpen = true}, false, {"export 17 17", "direction 17 low", "unexport 17 17"}, {}},
        // Only a line this run exported may still be getting its permissions: no retry here.
        {{.eaccesDirectionWrites = 1},
         true,
         {"direction 17 low !13"},
         {gpioLine("/sys/class/gpio/gpio17/direction: Permission denied")}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.writes.front());
        gpio.fs.setFaults(row.faults);
        if (row.exportedBefore)
            gpio.fs.preExport(RESET, "in");
        size_t seen = gpio.fs.events().size();
        ConsoleCapture console;
        {
            Chip chip(module.path(), RESET, ChipMode::Run);
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
    gpio.fs.preExport(RESET, "out", 1);
    EXPECT_TRUE(Chip(module.path(), RESET, ChipMode::Run).isUsable());
    EXPECT_EQ(writes(gpio.fs, 0), (Lines{"direction 17 low", "value 17 0", "value 17 1"}));
    EXPECT_TRUE(gpio.fs.isExported(RESET));

    ConsoleCapture console;
    {
        Chip chip(module.path(), OTHER, ChipMode::Run);
        ASSERT_TRUE(chip.isUsable());
        ASSERT_EQ(RawIO::writeStringFile(gpio::unexportPath, "18"), RawIO::OK);
    }
    EXPECT_EQ(console.lines(), Lines{gpioLine("GPIO: unable to unexport GPIO 18.")});
}

// Scheduling delays only ever add to a gap, so a lower bound is exact. For the upper bound each
// round gives the gaps the code left and reference gaps: the same sleeps between the test's own
// writes, on the same machine at the same moment. Rounds go on, up to 20, until the shortest of
// each gap is within half a millisecond of its shortest reference.
using Gaps = std::vector<std::pair<double, double>>; // (measured, reference) in ms

void expectNearReference(const std::function<Gaps()>& round) {
    Gaps best;
    auto near = [&best] {
        return std::all_of(best.begin(), best.end(), [](auto& gap) { return gap.first < gap.second + 0.5; });
    };
    int rounds = 0;
    for (; rounds < 20 && (best.empty() || !near()); ++rounds) {
        Gaps gaps = round();
        if (gaps.empty())
            return; // the round failed already
        best.resize(gaps.size(), {1e9, 1e9});
        for (size_t g = 0; g < gaps.size(); ++g)
            best[g] = {std::min(best[g].first, gaps[g].first), std::min(best[g].second, gaps[g].second)};
    }
    for (size_t g = 0; g < best.size(); ++g) {
        EXPECT_LT(best[g].first, best[g].second + 0.5) << "gap " << g << " (ms)";
        std::printf("gap %zu: %.3f ms, reference %.3f ms (%d rounds)\n", g, best[g].first, best[g].second,
                    rounds);
    }
}

TEST_F(ResetLine, TheResetPulseHoldsEachLevelForItsTime) {
    Pin reference(OTHER, true, 1);
    expectNearReference([&]() -> Gaps {
        size_t seen = gpio.fs.events().size();
        double endMs = 0;
        {
            Chip chip(module.path(), RESET, ChipMode::Run);
            endMs = nowMs();
            EXPECT_TRUE(chip.isUsable());
        }
        // Released after the pulse, and let go on destruction without being driven.
        EXPECT_EQ(writes(gpio.fs, seen),
                  (Lines{"export 17 17", "direction 17 low", "value 17 0", "value 17 1", "unexport 17 17"}));
        std::vector<double> pulse = stampsMs(gpio.fs, seen, Event::Value, RESET);
        seen = gpio.fs.events().size();
        reference.setValue(0);
        usleep(7500);
        double sleptMs = nowMs();
        reference.setValue(1);
        std::vector<double> own = stampsMs(gpio.fs, seen, Event::Value, OTHER);
        if (pulse.size() != 2 || own.size() != 2)
            return {};
        EXPECT_GE(pulse[1] - pulse[0], 7.5);
        EXPECT_GE(endMs - pulse[1], 7.5);
        return {{pulse[1] - pulse[0], own[1] - own[0]}, {endMs - pulse[1], sleptMs - own[0]}};
    });

    // A mode change holds the new level for the same time; a reset in programming mode pulses high.
    Chip chip(module.path(), RESET, ChipMode::Run);
    double startMs = nowMs();
    EXPECT_TRUE(chip.setMode(ChipMode::Programming));
    EXPECT_GE(nowMs() - startMs, 7.5);
    size_t seen = gpio.fs.events().size();
    EXPECT_TRUE(chip.hardwareReset());
    EXPECT_EQ(writes(gpio.fs, seen), (Lines{"value 17 1", "value 17 0"}));
    std::vector<double> pulse = stampsMs(gpio.fs, seen, Event::Value, RESET);
    ASSERT_EQ(pulse.size(), 2u);
    EXPECT_GE(pulse[1] - pulse[0], 7.5);
}

// After an export udev may still be setting the new files' permissions: a refused direction write
// is tried again after 1, 2 and 4 ms.
TEST_F(ResetLine, PermissionDeniedAfterOurExportIsRetriedWithDoublingSleeps) {
    Pin reference(OTHER, true, 1);
    gpio.fs.setFaults({.eaccesDirectionWrites = 3});
    const std::string referenceValue = gpio::valuePath(OTHER);
    expectNearReference([&]() -> Gaps {
        size_t seen = gpio.fs.events().size();
        ConsoleCapture console;
        EXPECT_TRUE(Pin(RESET, true, 0).isOpen());
        EXPECT_EQ(console.lines(), Lines{});
        EXPECT_EQ(writes(gpio.fs, seen),
                  (Lines{"export 17 17", "direction 17 low !13", "direction 17 low !13",
                         "direction 17 low !13", "direction 17 low", "unexport 17 17"}));
        std::vector<double> tries = stampsMs(gpio.fs, seen, Event::Direction, RESET);
        Gaps gaps;
        for (unsigned retry = 0; retry < 3 && tries.size() == 4; ++retry) {
            const unsigned sleepUs = 1024u << retry;
            EXPECT_GE(tries[retry + 1] - tries[retry], sleepUs / 1000.0) << "retry " << retry;
            seen = gpio.fs.events().size();
            RawIO::writeStringFile(referenceValue.c_str(), "0");
            usleep(sleepUs);
            RawIO::writeStringFile(referenceValue.c_str(), "1");
            std::vector<double> own = stampsMs(gpio.fs, seen, Event::Value, OTHER);
            gaps.push_back({tries[retry + 1] - tries[retry], own.size() == 2 ? own[1] - own[0] : 0});
        }
        return gaps;
    });
}

} // namespace
