// The chip's tty, for what the emulator's pty cannot show: the settings a careless earlier user
// left behind, the lock and exclusive mode that keep a second user out, and the other processes
// and the kernel console that share the device.
#include "zwave/Chip.hpp"
#include "zwave/TtySharing.hpp"

#include "support/ConsoleCapture.hpp"

#include <algorithm>
#include <cstring>
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

Bytes readFrom(Chip& chip) {
    uint8_t into[16];
    Span got = chip.read(Span(into), 100);
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
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD | HUPCL | CSIZE | PARENB), tcflag_t(CLOCAL | CREAD | CS8));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u) << "stop bits are left as they were";
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u) << "XON and XOFF are bytes of frames";
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_NE(fcntl(chip.tty.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(readFrom(chip), Bytes{});
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
        EXPECT_EQ(readFrom(first), Bytes{0x06});
    }
    // Both the lock and the exclusive mode are gone with the chip.
    EXPECT_EQ(exclusiveMode(line.path), 0);
    EXPECT_TRUE(Chip(line.path.c_str(), ChipMode::Run).isUsable());
}

// A child process that holds `paths` open, under the command name "tty-holder", while it lives.
struct Holder {
    explicit Holder(std::vector<const char*> paths) {
        int ready[2], done[2];
        EXPECT_EQ(pipe(ready) | pipe(done), 0);
        pid = fork();
        if (pid == 0) {
            close(done[1]);
            for (const char* path : paths)
                open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
            prctl(PR_SET_NAME, "tty-holder");
            char byte = 0;
            if (write(ready[1], &byte, 1) == 1)
                read(done[0], &byte, 1);
            _exit(0);
        }
        char byte;
        EXPECT_EQ(read(ready[0], &byte, 1), 1);
        for (int end : {ready[0], ready[1], done[0]})
            close(end);
        release = done[1];
    }
    ~Holder() {
        close(release);
        waitpid(pid, nullptr, 0);
    }

    pid_t pid = -1;
    int release = -1;
};

TEST(SharedTty, OtherProcessesHoldingTheDeviceAreNamedOnce) {
    Line line;
    Holder holder({"/dev/zero", "/dev/zero", line.path.c_str()});
    struct stat device;
    ASSERT_EQ(stat("/dev/zero", &device), 0);
    FileDescriptor ours(open("/dev/zero", O_RDONLY));
    ConsoleCapture console;
    warnProcessesHolding(device.st_rdev, "/dev/zero");
    Lines lines = console.lines();
    // Other processes on the machine may hold /dev/zero as well; this one never counts.
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "Warning: /dev/zero is also open in process " + std::to_string(holder.pid) +
                             " (tty-holder); it may take the module's replies"),
              1);
    for (const std::string& text : lines)
        EXPECT_EQ(text.find("process " + std::to_string(getpid()) + " "), std::string::npos) << text;

    // The other side of a pseudo-terminal is held by design: no scan, though the child holds it.
    FileDescriptor pty(open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ConsoleCapture ptyConsole;
    warnAboutSharedTty(pty.get(), line.path.c_str());
    EXPECT_EQ(ptyConsole.lines(), Lines{});
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

} // namespace
