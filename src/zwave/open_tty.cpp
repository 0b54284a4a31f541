#include "zwave/open_tty.hpp"

#include "util/Console.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>

FileDescriptor openTTY(const char* path) {
    FileDescriptor tty(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (!tty.valid()) {
        logLine("openTTY: An error occurred while opening tty ", path, ": ", std::strerror(errno));
        return tty;
    }
    if (!configureTTY(tty.get(), path))
        return FileDescriptor();
    return tty;
}

bool configureTTY(int fd, const char* path) {
    termios settings;
    bool ok = ::tcgetattr(fd, &settings) == 0;
    if (ok) {
        ::cfmakeraw(&settings);
        settings.c_cflag &= ~tcflag_t(HUPCL);
        settings.c_cflag |= CLOCAL | CREAD;
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        ::cfsetispeed(&settings, B115200);
        ::cfsetospeed(&settings, B115200);
        ok = ::tcsetattr(fd, TCSAFLUSH, &settings) == 0;
    }
    if (!ok)
        logLine("configureTTY: An error occurred while configuring tty ", path, ": ", std::strerror(errno));
    return ok;
}
