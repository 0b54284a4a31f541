#include "Pty.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace emu {

Pty::~Pty() {
    if (!linkPath.empty())
        unlink(linkPath.c_str());
    if (slaveFd >= 0)
        close(slaveFd);
    if (masterFd >= 0)
        close(masterFd);
}

bool Pty::open(std::string& error) {
    masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (masterFd < 0 || grantpt(masterFd) != 0 || unlockpt(masterFd) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(masterFd, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + strerror(errno);
        return false;
    }
    path = name;
    slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    termios attributes{};
    if (tcgetattr(slaveFd, &attributes) != 0) {
        error = path + ": tcgetattr: " + strerror(errno);
        return false;
    }
    cfmakeraw(&attributes);
    cfsetispeed(&attributes, B115200);
    cfsetospeed(&attributes, B115200);
    if (tcsetattr(slaveFd, TCSANOW, &attributes) != 0) {
        error = path + ": tcsetattr: " + strerror(errno);
        return false;
    }
    return true;
}

bool Pty::link(const std::string& target, std::string& error) {
    struct stat info {};
    if (lstat(target.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = target + " exists and is not a symbolic link";
            return false;
        }
        unlink(target.c_str());
    }
    if (symlink(path.c_str(), target.c_str()) != 0) {
        error = target + ": " + strerror(errno);
        return false;
    }
    linkPath = target;
    return true;
}

} // namespace emu
