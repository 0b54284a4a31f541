#include "zwave/open_tty.hpp"

#include "util/Console.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <utility>

namespace {

void reportConfigureError(const char* path) {
    logLine("configureTTY: An error occurred while configuring tty ", path, ": ", std::strerror(errno));
}

// tcsetattr succeeds when any one of the changes took, so a speed the UART refused shows only here.
bool runsAt115200(const termios& settings) {
    speed_t input = ::cfgetispeed(&settings);
    speed_t output = ::cfgetospeed(&settings);
    // An input speed of 0 means the output speed.
    return output == B115200 && (input == B115200 || input == B0);
}

} // namespace

ExclusiveTty openTTY(const char* path) {
    FileDescriptor opened(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (!opened.valid()) {
        logLine("openTTY: An error occurred while opening tty ", path, ": ", std::strerror(errno));
        return ExclusiveTty();
    }
    // Locked before it is configured: applying the settings flushes the tty, which would already
    // take input away from a run that holds it.
    ExclusiveTty tty = ExclusiveTty::take(std::move(opened), path);
    if (tty.valid() && !configureTTY(tty.get(), path))
        return ExclusiveTty();
    return tty;
}

bool configureTTY(int fd, const char* path) {
    termios settings;
    if (::tcgetattr(fd, &settings) != 0) {
        reportConfigureError(path);
        return false;
    }
    ::cfmakeraw(&settings);
    // cfmakeraw leaves IXOFF and IXANY as they were; with IXOFF the kernel would put XON/XOFF bytes
    // into the programming interface's binary stream.
    settings.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    settings.c_cflag &= ~tcflag_t(HUPCL);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    termios applied;
    // TCSAFLUSH empties only what the line discipline holds; bytes the driver has received but not
    // yet handed on (deferred under load) would arrive afterwards, so the input is flushed again.
    if (::tcsetattr(fd, TCSAFLUSH, &settings) != 0 || ::tcflush(fd, TCIFLUSH) != 0 ||
        ::tcgetattr(fd, &applied) != 0) {
        reportConfigureError(path);
        return false;
    }
    if (!runsAt115200(applied)) {
        logLine("configureTTY: tty ", path, " does not run at 115200 baud");
        return false;
    }
    return true;
}
