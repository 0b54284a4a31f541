#include "zwave/TtySharing.hpp"

#include "rawio/FileDescriptor.hpp"
#include "util/Console.hpp"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr unsigned UNIX98_PTY_SLAVE_FIRST_MAJOR = 136;
constexpr unsigned UNIX98_PTY_SLAVE_LAST_MAJOR = 143;
constexpr unsigned LEGACY_PTY_SLAVE_MAJOR = 3;

class Directory {
public:
    explicit Directory(const char* path) : directory(::opendir(path)) {}
    ~Directory() {
        if (directory)
            ::closedir(directory);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // The next entry's name; nullptr at the end or when the directory could not be opened.
    const char* next() {
        const dirent* entry = directory ? ::readdir(directory) : nullptr;
        return entry ? entry->d_name : nullptr;
    }

private:
    DIR* directory;
};

// The file's first bytes up to the first newline, NUL-terminated; false when it cannot be read.
bool readFirstLine(const char* path, char* into, size_t capacity) {
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    ssize_t got = file.valid() ? ::read(file.get(), into, capacity - 1) : -1;
    if (got < 0)
        return false;
    into[got] = '\0';
    into[std::strcspn(into, "\n")] = '\0';
    return true;
}

// A /proc entry that names a process: digits only; 0 otherwise.
pid_t processId(const char* name) {
    pid_t pid = 0;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9' || pid > 99999999)
            return 0;
        pid = pid * 10 + (*c - '0');
    }
    return pid;
}

bool holds(pid_t pid, dev_t device) {
    char fdDirectory[64];
    std::snprintf(fdDirectory, sizeof fdDirectory, "/proc/%d/fd", int(pid));
    Directory descriptors(fdDirectory);
    while (const char* name = descriptors.next()) {
        char link[sizeof fdDirectory + sizeof(dirent::d_name)];
        std::snprintf(link, sizeof link, "%s/%s", fdDirectory, name);
        struct stat target;
        if (name[0] != '.' && ::stat(link, &target) == 0 && S_ISCHR(target.st_mode) &&
            target.st_rdev == device)
            return true;
    }
    return false;
}

bool isPseudoTerminal(dev_t device) {
    unsigned deviceMajor = ::major(device);
    return deviceMajor == LEGACY_PTY_SLAVE_MAJOR ||
           (deviceMajor >= UNIX98_PTY_SLAVE_FIRST_MAJOR && deviceMajor <= UNIX98_PTY_SLAVE_LAST_MAJOR);
}

// "major:minor" as sysfs writes it; a malformed text matches no device.
bool parseDeviceNumber(const char* text, dev_t& device) {
    unsigned deviceMajor = 0;
    unsigned deviceMinor = 0;
    int used = 0;
    if (std::sscanf(text, "%u:%u%n", &deviceMajor, &deviceMinor, &used) != 2 || text[used] != '\0')
        return false;
    device = ::makedev(deviceMajor, deviceMinor);
    return true;
}

} // namespace

void warnProcessesHolding(dev_t device, const char* path) {
    pid_t self = ::getpid();
    Directory processes("/proc");
    while (const char* name = processes.next()) {
        pid_t pid = processId(name);
        if (pid == 0 || pid == self || !holds(pid, device))
            continue;
        char commandPath[64];
        char command[64];
        std::snprintf(commandPath, sizeof commandPath, "/proc/%d/comm", int(pid));
        // A process that is gone by now takes nothing.
        if (!readFirstLine(commandPath, command, sizeof command))
            continue;
        // A process names itself: keep its choice of bytes off the terminal.
        for (char* c = command; *c != '\0'; ++c)
            if (static_cast<unsigned char>(*c) < 0x20 || static_cast<unsigned char>(*c) == 0x7f)
                *c = '?';
        logLine("Warning: ", path, " is also open in process ", int(pid), " (", command,
                "); it may take the module's replies");
    }
}

bool isKernelConsole(dev_t device, const char* sysClassTty) {
    char activePath[256];
    char active[256];
    std::snprintf(activePath, sizeof activePath, "%s/console/active", sysClassTty);
    if (!readFirstLine(activePath, active, sizeof active))
        return false;
    char* position = nullptr;
    for (char* name = ::strtok_r(active, " ", &position); name; name = ::strtok_r(nullptr, " ", &position)) {
        char devicePath[256];
        char number[32];
        dev_t listed;
        std::snprintf(devicePath, sizeof devicePath, "%s/%s/dev", sysClassTty, name);
        if (readFirstLine(devicePath, number, sizeof number) && parseDeviceNumber(number, listed) &&
            listed == device)
            return true;
    }
    return false;
}

void warnAboutSharedTty(int fd, const char* path) {
    struct stat tty;
    if (::fstat(fd, &tty) != 0 || !S_ISCHR(tty.st_mode) || isPseudoTerminal(tty.st_rdev))
        return;
    warnProcessesHolding(tty.st_rdev, path);
    if (isKernelConsole(tty.st_rdev, "/sys/class/tty"))
        logLine("Warning: ", path, " is a kernel console; kernel messages may reach the module");
}
