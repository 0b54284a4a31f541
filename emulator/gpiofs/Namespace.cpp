#include "GpioFs.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gpiofs {

namespace {

bool fail(std::string& error, const std::string& what) {
    error = what + ": " + std::strerror(errno);
    return false;
}

bool isDirectory(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

// Only the calling thread moves to the new namespace (the kernel unshares the filesystem context per
// thread), and threads and processes it starts later inherit it: call this before starting any.
bool enterPrivateMountNamespace(std::string& error) {
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0)
        return fail(error, "FUSE is not available (open /dev/fuse)");
    ::close(fuse);
    if (unshare(CLONE_NEWNS) != 0)
        return fail(error, "cannot enter a private mount namespace (unshare CLONE_NEWNS)");
    // Without this, mounts below would propagate back to the host's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(error, "cannot make the mounts private (mount / MS_REC|MS_PRIVATE)");
    if (isDirectory("/sys/class/gpio"))
        return true;
    // The host has no GPIO class: cover /sys/class (only in this namespace) with an empty tmpfs.
    const char* cover = isDirectory("/sys/class") ? "/sys/class" : "/sys";
    if (::mount("gpiofs-sysclass", cover, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0)
        return fail(error, std::string("cannot mount a tmpfs over ") + cover);
    if (!isDirectory("/sys/class") && mkdir("/sys/class", 0755) != 0)
        return fail(error, "cannot create /sys/class");
    if (mkdir("/sys/class/gpio", 0755) != 0)
        return fail(error, "cannot create /sys/class/gpio");
    return true;
}

} // namespace gpiofs
