#include "zwave/ExclusiveTty.hpp"

#include "util/Console.hpp"

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <utility>

namespace {

bool isExclusive(int fd) {
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

} // namespace

ExclusiveTty::ExclusiveTty(ExclusiveTty&& other) noexcept
    : fd(std::move(other.fd)), madeExclusive(std::exchange(other.madeExclusive, false)) {}

ExclusiveTty& ExclusiveTty::operator=(ExclusiveTty&& other) noexcept {
    if (this != &other) {
        lift();
        fd = std::move(other.fd);
        madeExclusive = std::exchange(other.madeExclusive, false);
    }
    return *this;
}

ExclusiveTty::~ExclusiveTty() {
    lift();
}

void ExclusiveTty::lift() {
    if (madeExclusive && fd.valid())
        ::ioctl(fd.get(), TIOCNXCL);
    madeExclusive = false;
}

ExclusiveTty ExclusiveTty::take(FileDescriptor fd, const char* path) {
    ExclusiveTty tty;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            logLine("openTTY: tty ", path, " is in use by another program (locked)");
        else
            logLine("openTTY: An error occurred while locking tty ", path, ": ", std::strerror(errno));
        return tty;
    }
    // The lock is what keeps a second run out; the exclusive mode only turns other openers away, so
    // a descriptor that refuses it is left to configureTTY, which reports anything that is no tty.
    tty.madeExclusive = !isExclusive(fd.get()) && ::ioctl(fd.get(), TIOCEXCL) == 0;
    tty.fd = std::move(fd);
    return tty;
}
