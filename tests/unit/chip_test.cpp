#include "StderrCapture.hpp"
#include "support/FakeGpio.hpp"
#include "zwave/Chip.hpp"
#include "zwave/StartByte.hpp"
#include "zwave/TtySharing.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <vector>

namespace {

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

using gpiofs::Event;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

constexpr unsigned RESET_GPIO = 17;

int64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The module's end of the serial line: the pseudo-terminal's master side.
struct Line {
    Line() {
        int slave = -1;
        char name[128];
        EXPECT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        // A tty as a careless earlier user may have left it: cooked, hang-up on close, two stop bits,
        // software flow control.
        termios cooked;
        ::tcgetattr(slave, &cooked);
        cooked.c_iflag |= IXON | IXOFF | IXANY;
        cooked.c_cflag |= HUPCL | CSTOPB;
        cooked.c_lflag |= ICANON | ECHO;
        cfsetspeed(&cooked, B9600);
        ::tcsetattr(slave, TCSANOW, &cooked);
        ::close(slave);
    }
    ~Line() { ::close(master); }

    void send(const Bytes& bytes) const {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    int master = -1;
    std::string path;
};

Bytes bytesOf(View view) {
    return Bytes(view.begin(), view.end());
}

std::vector<Event> valueWrites(const gpiofs::GpioFs& fs) {
    std::vector<Event> values;
    for (const Event& event : fs.events())
        if (event.kind == Event::Value)
            values.push_back(event);
    return values;
}

double msBetween(int64_t fromNs, int64_t toNs) {
    return double(toNs - fromNs) / 1e6;
}

TEST(ChipTty, IsRawAt115200WithoutHangUpAndStaysNonBlocking) {
    Line line;
    line.send({0x55, 0x55}); // pending input is dropped when the settings are applied
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Chip chip(line.path.c_str(), ChipMode::Run);
    ASSERT_TRUE(chip.isUsable());
    EXPECT_TRUE(chip.hasTty());
    EXPECT_FALSE(chip.hasResetPin());

    termios settings;
    ASSERT_EQ(::tcgetattr(chip.tty.get(), &settings), 0);
    EXPECT_EQ(cfgetispeed(&settings), speed_t(B115200));
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B115200));
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(settings.c_cflag & HUPCL, 0u);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB), tcflag_t(CS8));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u) << "stop bits are left as they were";
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_NE(::fcntl(chip.tty.get(), F_GETFL) & O_NONBLOCK, 0);

    uint8_t into[4];
    EXPECT_TRUE(chip.read(Span(into), 20).empty());
}

int exclusiveMode(const std::string& path) {
    FileDescriptor tty(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    int exclusive = -1;
    EXPECT_EQ(::ioctl(tty.get(), TIOCGEXCL, &exclusive), 0);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

        StderrCapture errors;
        Chip second(line.path.c_str(), ChipMode::Run);
        EXPECT_FALSE(second.isUsable());
        EXPECT_FALSE(second.hasTty());
        EXPECT_EQ(errors.lines(false),
                  Lines{"openTTY: tty " + line.path + " is in use by another program (locked)"});
        // The second chip never applied its settings, which would have flushed the first's input.
        uint8_t pending[1];
        EXPECT_EQ(bytesOf(first.read(Span(pending), 100)), Bytes{0x06});
    }
    // Both the lock and the exclusive mode are gone with the chip.
    EXPECT_EQ(exclusiveMode(line.path), 0);
    Chip next(line.path.c_str(), ChipMode::Run);
    EXPECT_TRUE(next.isUsable());
}

// A missing tty (its line, the GPIO never touched) is a case of the end-to-end jobs.
TEST(ChipTty, AConfigureFailurePrintsOneLine) {
    StderrCapture notATty;
    Chip null("/dev/null", ChipMode::Run);
    EXPECT_FALSE(null.isUsable());
    EXPECT_FALSE(null.hasTty());
    EXPECT_EQ(notATty.lines(false),
              Lines{"configureTTY: An error occurred while configuring tty /dev/null: " +
                    std::string(std::strerror(ENOTTY))});
}

TEST(ChipMode, WithoutAResetPinTheModeNeverChanges) {
    Line line;
    {
        Chip running(line.path.c_str(), ChipMode::Run);
        EXPECT_TRUE(running.setMode(ChipMode::Run));
        EXPECT_FALSE(running.setMode(ChipMode::Programming));
        EXPECT_FALSE(running.hardwareReset());
        EXPECT_EQ(running.currentMode(), ChipMode::Run);
    }
    Chip held(line.path.c_str(), ChipMode::Programming);
    EXPECT_TRUE(held.isUsable());
    EXPECT_TRUE(held.setMode(ChipMode::Programming));
    EXPECT_FALSE(held.setMode(ChipMode::Run));
    EXPECT_EQ(held.currentMode(), ChipMode::Programming);
}

class ChipWithResetPin : public testsupport::FakeGpioTest {};

TEST_F(ChipWithResetPin, ConstructionInRunPulsesResetLowThenHigh) {
    Line line;
    // The shortest of three rounds is compared closely; scheduling delays only ever add.
    double shortestHeldMs = 1e9;
    double shortestSettleMs = 1e9;
    for (int round = 0; round < 3; ++round) {
        size_t seen = gpio.fs.events().size();
        int64_t endNs;
        {
            Chip chip(line.path.c_str(), RESET_GPIO, ChipMode::Run);
            endNs = nowNs();
            EXPECT_TRUE(chip.isUsable());
            EXPECT_TRUE(chip.hasResetPin());
        }
        std::vector<Event> all = gpio.fs.events();
        std::vector<Event> events(all.begin() + long(seen), all.end());
        ASSERT_EQ(events.size(), 5u);
        EXPECT_EQ(events[0].kind, Event::Export);
        EXPECT_EQ(events[1].kind, Event::Direction);
        EXPECT_EQ(events[1].text, "low");
        EXPECT_EQ(events[2].kind, Event::Value);
        EXPECT_EQ(events[2].text, "0");
        EXPECT_EQ(events[3].kind, Event::Value);
        EXPECT_EQ(events[3].text, "1");
        // Destruction lets go of the line without driving it.
        EXPECT_EQ(events[4].kind, Event::Unexport);

        double heldMs = msBetween(events[2].monotonicNs, events[3].monotonicNs);
        double settleMs = msBetween(events[3].monotonicNs, endNs);
        EXPECT_GE(heldMs, 7.5);
        EXPECT_GE(settleMs, 7.5);
        shortestHeldMs = std::min(shortestHeldMs, heldMs);
        shortestSettleMs = std::min(shortestSettleMs, settleMs);
    }
    EXPECT_LT(shortestHeldMs, 9.0);
    EXPECT_LT(shortestSettleMs, 9.0);
    std::printf("reset held low %.3f ms, settled %.3f ms\n", shortestHeldMs, shortestSettleMs);
}

TEST_F(ChipWithResetPin, ConstructionInProgrammingEndsWithResetHeld) {
    Line line;
    Chip chip(line.path.c_str(), RESET_GPIO, ChipMode::Programming);
    EXPECT_TRUE(chip.isUsable());
    EXPECT_EQ(gpio.fs.direction(RESET_GPIO), "out");
    EXPECT_EQ(gpio.fs.value(RESET_GPIO), 0);
    std::vector<Event> values = valueWrites(gpio.fs);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].text, "1");
    EXPECT_EQ(values[1].text, "0");
}

TEST_F(ChipWithResetPin, SetModeAndHardwareResetDriveTheLine) {
    Line line;
    Chip chip(line.path.c_str(), RESET_GPIO, ChipMode::Run);
    ASSERT_TRUE(chip.isUsable());
    size_t before = valueWrites(gpio.fs).size();
    EXPECT_TRUE(chip.setMode(ChipMode::Run));
    EXPECT_EQ(valueWrites(gpio.fs).size(), before);

    int64_t startNs = nowNs();
    EXPECT_TRUE(chip.setMode(ChipMode::Programming));
    EXPECT_GE(msBetween(startNs, nowNs()), 7.5);
    EXPECT_EQ(chip.currentMode(), ChipMode::Programming);
    EXPECT_EQ(gpio.fs.value(RESET_GPIO), 0);

    EXPECT_TRUE(chip.hardwareReset());
    std::vector<Event> values = valueWrites(gpio.fs);
    ASSERT_EQ(values.size(), before + 3);
    EXPECT_EQ(values[before].text, "0");
    EXPECT_EQ(values[before + 1].text, "1");
    EXPECT_EQ(values[before + 2].text, "0");
    EXPECT_GE(msBetween(values[before + 1].monotonicNs, values[before + 2].monotonicNs), 7.5);
    EXPECT_EQ(chip.currentMode(), ChipMode::Programming);
}

TEST_F(ChipWithResetPin, AResetLineThatCannotBeSetUpMakesTheChipUnusable) {
    gpio.fs.setFaults({.ebusyOnExport = true});
    Line line;
    StderrCapture errors;
    Chip chip(line.path.c_str(), RESET_GPIO, ChipMode::Run);
    EXPECT_FALSE(chip.isUsable());
    EXPECT_TRUE(chip.hasTty());
    EXPECT_FALSE(chip.hasResetPin());
    EXPECT_FALSE(chip.setMode(ChipMode::Programming));
    EXPECT_EQ(errors.lines(true), Lines{"GPIO: unable to export GPIO 17."});
}

// A child process that holds `paths` open, under the command name "tty-holder", while it lives.
struct Holder {
    explicit Holder(std::vector<const char*> paths) {
        int ready[2];
        int done[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(done), 0);
        pid = ::fork();
        if (pid == 0) {
            ::close(done[1]);
            for (const char* path : paths)
                ::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
            ::prctl(PR_SET_NAME, "tty-holder");
            char byte = 0;
            if (::write(ready[1], &byte, 1) == 1)
                ::read(done[0], &byte, 1);
            ::_exit(0);
        }
        char byte;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        for (int end : {ready[0], ready[1], done[0]})
            ::close(end);
        release = done[1];
    }
    ~Holder() {
        ::close(release);
        ::waitpid(pid, nullptr, 0);
    }

    pid_t pid = -1;
    int release = -1;
};

TEST(SharedTty, OtherProcessesHoldingTheDeviceAreNamedOnce) {
    Line line;
    Holder holder({"/dev/zero", "/dev/zero", line.path.c_str()});
    FileDescriptor zero(::open("/dev/zero", O_RDONLY));
    struct stat device;
    ASSERT_EQ(::fstat(zero.get(), &device), 0);

    StderrCapture errors;
    warnProcessesHolding(device.st_rdev, "/dev/zero");
    Lines lines = errors.lines(false);
    // Other processes on the machine may hold /dev/zero as well; this one never counts.
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Warning: /dev/zero is also open in process " + std::to_string(holder.pid) +
                             " (tty-holder); it may take the module's replies"),
              1);
    for (const std::string& text : lines)
        EXPECT_EQ(text.find("process " + std::to_string(::getpid()) + " "), std::string::npos) << text;

    // The other side of a pseudo-terminal is held by design: no scan, though the child holds it.
    FileDescriptor pty(::open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    StderrCapture ptyErrors;
    warnAboutSharedTty(pty.get(), line.path.c_str());
    EXPECT_EQ(ptyErrors.lines(false), Lines{});
}

TEST(SharedTty, AKernelConsoleIsFoundByItsDeviceNumber) {
    char directory[] = "/tmp/tarnwick-console-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
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

TEST(StartByte, SkipsNoiseAndLeavesTheRestBuffered) {
    Line line;
    Chip chip(line.path.c_str(), ChipMode::Run);
    line.send({0x00, 0x18, 0x06});
    EXPECT_EQ(waitForStartByte(chip, TimeoutClock(), 100), 0x06);
    EXPECT_TRUE(chip.readBuffer.empty());

    line.send({0x01, 0x03});
    EXPECT_EQ(waitForStartByte(chip, TimeoutClock(), 100), 0x01);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint8_t next[1];
    EXPECT_EQ(bytesOf(chip.read(Span(next), 100)), Bytes{0x03});

    // Already buffered bytes are searched even with no time to wait.
    line.send({0x42, 0x15, 0x07});
    uint8_t first[1];
    EXPECT_EQ(bytesOf(chip.read(Span(first), 100)), Bytes{0x42});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(waitForStartByte(chip, TimeoutClock(), 0), 0x15);
    EXPECT_EQ(chip.readBuffer.takeByte(), std::make_pair(uint8_t(0x07), true));
}

TEST(StartByte, GivesUpWhenTimeRunsOut) {
    Line line;
    Chip chip(line.path.c_str(), ChipMode::Run);

    // No time and nothing buffered: no read at all, even with bytes waiting on the line.
    line.send({0x06});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(waitForStartByte(chip, TimeoutClock(), 0), 0);
    uint8_t waiting[1];
    EXPECT_EQ(bytesOf(chip.read(Span(waiting), 100)), Bytes{0x06});

    line.send({0x00, 0x02, 0xff});
    TimeoutClock clock;
    EXPECT_EQ(waitForStartByte(chip, clock, 60), 0);
    EXPECT_GE(clock.elapsed(), 59);
    EXPECT_LT(clock.elapsed(), 400);
    EXPECT_TRUE(chip.readBuffer.empty());
}

} // namespace
