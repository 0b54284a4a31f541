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

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

namespace {

using Bytes = ScriptedPeer::Bytes;
using Lines = std::vector<std::string>;

// The module's end of the serial line, the tty left as a careless earlier user may have left it:
// cooked, hang-up on close, two stop bits, flow control.
struct Line : ScriptedPeer {
    Line() : ScriptedPeer(Cut::Frames) {
        FileDescriptor tty(open(path(), O_RDWR | O_NOCTTY));
        termios cooked;
        tcgetattr(tty.get(), &cooked);
        cooked.c_iflag |= IXON | IXOFF | IXANY;
        cooked.c_cflag |= HUPCL | CSTOPB;
        cooked.c_lflag |= ICANON | ECHO;
        cfsetspeed(&cooked, B9600);
        tcsetattr(tty.get(), TCSANOW, &cooked);
    }
    void sendNow(const Bytes& bytes) { send(bytes), usleep(5000); }
};

int exclusiveMode(const std::string& path) {
    FileDescriptor tty(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    int exclusive = -1;
    EXPECT_EQ(ioctl(tty.get(), TIOCGEXCL, &exclusive), 0);
    return exclusive;
}

TEST(ChipTty, IsRawAt115200WithoutHangUpNonBlockingAndHeldByOneChipAtATime) {
    Line line;
    line.sendNow({0x55, 0x55}); // pending input is dropped when the settings are applied
    {
        Chip chip(line.path(), ChipMode::Run);
        ASSERT_TRUE(chip.isUsable());
        termios settings;
        ASSERT_EQ(tcgetattr(chip.tty.get(), &settings), 0);
        EXPECT_EQ(std::pair(cfgetispeed(&settings), cfgetospeed(&settings)),
                  std::pair(speed_t(B115200), speed_t(B115200)));
        EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD | HUPCL | CSIZE | PARENB),
                  tcflag_t(CLOCAL | CREAD | CS8));
        EXPECT_NE(settings.c_cflag & CSTOPB, 0u) << "stop bits are left as they were";
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u) << "XON and XOFF are bytes of frames";
        EXPECT_EQ(settings.c_oflag & OPOST, 0u);
        EXPECT_NE(fcntl(chip.tty.get(), F_GETFL) & O_NONBLOCK, 0);
        uint8_t byte[1] = {0};
        EXPECT_EQ(chip.read(Span(byte), 100).size(), 0u);
        // Without a reset line the chip stays in its mode for good.
        EXPECT_TRUE(chip.setMode(ChipMode::Run));
        EXPECT_FALSE(chip.setMode(ChipMode::Programming));
        EXPECT_FALSE(chip.hardwareReset());

        // Root opens an exclusive tty all the same: the lock is what keeps a second chip out.
        EXPECT_EQ(exclusiveMode(line.path()), 1);
        line.sendNow({0x06});
        ConsoleCapture console; // its line is an end-to-end row's (locked_tty)
        EXPECT_FALSE(Chip(line.path(), ChipMode::Run).isUsable());
        // The second chip never applied its settings, which would have flushed the first's input.
        EXPECT_EQ(chip.read(Span(byte), 5000).size(), 1u);
        EXPECT_EQ(byte[0], 0x06);
    }
    // Both the lock and the exclusive mode are gone with the chip.
    EXPECT_EQ(exclusiveMode(line.path()), 0);
    EXPECT_TRUE(Chip(line.path(), ChipMode::Run).isUsable());

    ConsoleCapture console;
    EXPECT_FALSE(Chip("/dev/null", ChipMode::Run).isUsable());
    EXPECT_EQ(console.lines(), Lines{"configureTTY: An error occurred while configuring tty /dev/null: " +
                                     std::string(std::strerror(ENOTTY))});
}

TEST(SharedTty, OtherProcessesHoldingTheDeviceAreNamedOnce) {
    Line line;
    // A child that holds /dev/zero twice and the pty, under the command name "tty-holder"; and
    // this process, which never counts.
    FileDescriptor zero(open("/dev/zero", O_RDONLY)), again(open("/dev/zero", O_RDONLY));
    FileDescriptor pty(open(line.path(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    pid_t holder = fork();
    if (holder == 0) {
        prctl(PR_SET_NAME, "tty-holder");
        _exit(raise(SIGSTOP));
    }
    ASSERT_EQ(waitpid(holder, nullptr, WUNTRACED), holder);
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
    warnAboutSharedTty(pty.get(), line.path());
    EXPECT_EQ(ptyConsole.lines(), Lines{});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
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
    for (auto [minor, listed] : {std::pair{65u, true}, {0u, true}, {6u, false}, {64u, false}})
        EXPECT_EQ(isKernelConsole(makedev(4, minor), directory), listed) << minor;
    EXPECT_FALSE(isKernelConsole(makedev(4, 65), (root / "missing").c_str()));
    std::filesystem::remove_all(root);
}

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

double nowMs() { // the clock of the fake's time stamps
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const std::string PROGRAM = std::string(program_invocation_name) + ": "; // begins each GPIO error line

class ResetLine : public testsupport::FakeGpioTest {
protected:
    ScriptedPeer module{ScriptedPeer::Cut::Frames};
};

// A line that cannot be set up leaves the chip unusable with one line; one exported before the run
// is set to output at the level asked for, without a glitch to the other level, and left exported.
TEST_F(ResetLine, ALineIsSetUpOrRefusedAndLeftAsItWasFound) {
    const struct {
        gpiofs::Faults faults;
        const char* exportedBefore; // its direction, "" when not exported before
        bool usable;
        Lines writes;
        const char* line = nullptr; // without the program's name
    } rows[] = {
        // clang-format off
        {{.ebusyOnExport = true}, "", false, {"export 17 17 !16"}, "GPIO: unable to export GPIO 17."},
        {{.einvalOnDirection = true}, "", false, {"export 17 17", "direction 17 low !22", "unexport 17 17"},
         "/sys/class/gpio/gpio17/direction: Write failed"},
        {{.eaccesOnValueOpen = true}, "", false, {"export 17 17", "direction 17 low", "unexport 17 17"}},
        // Only a line this run exported may still be getting its permissions: no retry here.
        {{.eaccesDirectionWrites = 1}, "in", false, {"direction 17 low !13"},
         "/sys/class/gpio/gpio17/direction: Permission denied"},
        {{}, "out", true, {"direction 17 low", "value 17 0", "value 17 1", "value 17 0"}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.writes.front());
        gpio.setFaults(row.faults);
        if (*row.exportedBefore)
            gpio.preExport(RESET, row.exportedBefore, 1);
        size_t seen = gpio.events().size();
        ConsoleCapture console;
        {
            Chip chip(module.path(), RESET, ChipMode::Run);
            EXPECT_EQ(chip.isUsable(), row.usable);
            EXPECT_EQ(chip.setMode(ChipMode::Programming), row.usable);
        }
        EXPECT_EQ(writes(gpio, seen), row.writes);
        EXPECT_EQ(console.lines(), row.line ? Lines{PROGRAM + row.line} : Lines{});
        EXPECT_EQ(gpio.isExported(RESET), *row.exportedBefore != 0);
    }
    // One we exported and someone else unexported is reported.
    ConsoleCapture console;
    {
        Chip chip(module.path(), OTHER, ChipMode::Run); // exported it: otherwise the unexport fails
        ASSERT_EQ(RawIO::writeStringFile(gpio::unexportPath, "18"), RawIO::OK);
    }
    EXPECT_EQ(console.lines(), Lines{PROGRAM + "GPIO: unable to unexport GPIO 18."});
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
    for (size_t g = 0; g < best.size(); ++g)
        EXPECT_LT(best[g].first, best[g].second + 0.5) << "gap " << g << " in ms, " << rounds << " rounds";
}

TEST_F(ResetLine, TheResetPulseHoldsEachLevelForItsTime) {
    Pin reference(OTHER, true, 1);
    expectNearReference([&]() -> Gaps {
        size_t seen = gpio.events().size();
        double endMs = 0;
        {
            Chip chip(module.path(), RESET, ChipMode::Run);
            endMs = nowMs();
            EXPECT_TRUE(chip.isUsable());
        }
        // Released after the pulse, and let go on destruction without being driven.
        EXPECT_EQ(writes(gpio, seen),
                  (Lines{"export 17 17", "direction 17 low", "value 17 0", "value 17 1", "unexport 17 17"}));
        std::vector<double> pulse = stampsMs(gpio, seen, Event::Value, RESET);
        seen = gpio.events().size();
        reference.setValue(0);
        usleep(7500);
        double sleptMs = nowMs();
        reference.setValue(1);
        std::vector<double> own = stampsMs(gpio, seen, Event::Value, OTHER);
        if (pulse.size() != 2 || own.size() != 2)
            return {};
        EXPECT_GE(pulse[1] - pulse[0], 7.5);
        EXPECT_GE(endMs - pulse[1], 7.5);
        return {{pulse[1] - pulse[0], own[1] - own[0]}, {endMs - pulse[1], sleptMs - own[0]}};
    });

    // A mode change holds the new level for the same time; a reset in programming mode pulses high.
    // The levels are those the emulator's reset line is told of: "low" drives the line low at once.
    std::vector<int> levels;
    gpio.onValue([&levels](unsigned, int level) { levels.push_back(level); });
    Chip chip(module.path(), RESET, ChipMode::Run);
    double startMs = nowMs();
    EXPECT_TRUE(chip.setMode(ChipMode::Programming));
    EXPECT_GE(nowMs() - startMs, 7.5);
    size_t seen = gpio.events().size();
    EXPECT_TRUE(chip.hardwareReset());
    EXPECT_EQ(levels, (std::vector<int>{0, 0, 1, 0, 1, 0}));
    ASSERT_EQ(writes(gpio, seen), (Lines{"value 17 1", "value 17 0"}));
    std::vector<double> pulse = stampsMs(gpio, seen, Event::Value, RESET);
    EXPECT_GE(pulse[1] - pulse[0], 7.5);
}

// After an export udev may still be setting the new files' permissions: a refused direction write
// is tried again after 1, 2 and 4 ms.
TEST_F(ResetLine, PermissionDeniedAfterOurExportIsRetriedWithDoublingSleeps) {
    Pin reference(OTHER, true, 1);
    gpio.setFaults({.eaccesDirectionWrites = 3});
    const std::string referenceValue = gpio::valuePath(OTHER);
    expectNearReference([&]() -> Gaps {
        size_t seen = gpio.events().size();
        ConsoleCapture console;
        EXPECT_TRUE(Pin(RESET, true, 0).isOpen());
        EXPECT_EQ(console.lines(), Lines{});
        EXPECT_EQ(writes(gpio, seen), (Lines{"export 17 17", "direction 17 low !13", "direction 17 low !13",
                                             "direction 17 low !13", "direction 17 low", "unexport 17 17"}));
        std::vector<double> tries = stampsMs(gpio, seen, Event::Direction, RESET);
        Gaps gaps;
        for (unsigned retry = 0; retry < 3 && tries.size() == 4; ++retry) {
            const unsigned sleepUs = 1024u << retry;
            EXPECT_GE(tries[retry + 1] - tries[retry], sleepUs / 1000.0) << "retry " << retry;
            seen = gpio.events().size();
            RawIO::writeStringFile(referenceValue.c_str(), "0");
            usleep(sleepUs);
            RawIO::writeStringFile(referenceValue.c_str(), "1");
            std::vector<double> own = stampsMs(gpio, seen, Event::Value, OTHER);
            gaps.push_back({tries[retry + 1] - tries[retry], own.size() == 2 ? own[1] - own[0] : 0});
        }
        return gaps;
    });
}

} // namespace
