#include "rawio/ReplaceBeside.hpp"

#include "rawio/Exception.hpp"
#include "rawio/FileDescriptor.hpp"
#include "rawio/WriteSteps.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace RawIO {

namespace {

// True when the call succeeded, false when the kernel refused it; any other failure throws.
bool succeeded(int result, const char* message) {
    if (result == 0)
        return true;
    if (isRefusal(errno))
        return false;
    throw Exception(errno, message);
}

// The directory that holds the last component of a path, opened so that the temporary file, the
// rename and the sync all happen in the one directory.
class Directory {
public:
    explicit Directory(const char* path) {
        const char* slash = std::strrchr(path, '/');
        last = slash ? slash + 1 : path;
        char directory[PATH_MAX];
        size_t length = slash ? size_t(slash - path) : 0;
        if (length >= sizeof directory)
            return;
        if (!slash) {
            std::strcpy(directory, ".");
        } else if (length == 0) {
            std::strcpy(directory, "/");
        } else {
            std::memcpy(directory, path, length);
            directory[length] = '\0';
        }
        int opened = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (opened < 0 && !isRefusal(errno))
            throw Exception(errno, OPEN_ERROR);
        fd = FileDescriptor(opened);
    }

    // Whether the name is the opened file itself, not a link to it.
    bool names(const struct stat& target) const {
        struct stat named;
        return fd.valid() && *last && ::fstatat(fd.get(), last, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               named.st_dev == target.st_dev && named.st_ino == target.st_ino;
    }

    int get() const { return fd.get(); }
    const char* name() const { return last; }

private:
    const char* last;
    FileDescriptor fd;
};

// A new file in the directory under a short name of its own, so that the longest name the target
// may have still leaves room; removed again unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(int directory) : directory(directory) {
        static unsigned counter = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            unsigned tag = unsigned(now.tv_nsec) ^ (unsigned(::getpid()) << 12) ^ (++counter * 2654435761u);
            std::snprintf(name, sizeof name, ".tarnwick.tmp-%06x", tag & 0xffffffu);
            int opened = ::openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (opened >= 0) {
                fd = FileDescriptor(opened);
                pending = true;
                return;
            }
            if (isRefusal(errno))
                return;
            if (errno != EEXIST)
                throw Exception(errno, OPEN_ERROR);
        }
        throw Exception(EEXIST, OPEN_ERROR);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (pending)
            ::unlinkat(directory, name, 0);
    }

    bool created() const { return pending; }
    int get() const { return fd.get(); }
    void close() { closeOrThrow(fd); }
    bool renameTo(const char* target) {
        if (!succeeded(::renameat(directory, name, directory, target), "IO-Error on rename()"))
            return false;
        pending = false;
        return true;
    }

private:
    int directory;
    char name[sizeof ".tarnwick.tmp-000000"];
    FileDescriptor fd;
    bool pending = false;
};

// A file system that cannot sync directories (EINVAL) is taken as it is; any other failure means
// the rename may not survive a power cut.
void syncDirectory(int fd) {
    if (::fsync(fd) != 0 && errno != EINVAL)
        throw Exception(errno, "IO-Error on fsync()");
}

} // namespace

bool replaceBeside(const char* path, const struct stat& target, View content) {
    if (!S_ISREG(target.st_mode) || target.st_nlink != 1)
        return false;
    Directory directory(path);
    if (!directory.names(target))
        return false;
    TemporaryFile temporary(directory.get());
    if (!temporary.created())
        return false;
    // The owner first: changing it clears set-id bits that the mode then restores.
    if (!succeeded(::fchown(temporary.get(), target.st_uid, target.st_gid), "IO-Error on fchown()") ||
        !succeeded(::fchmod(temporary.get(), target.st_mode & 07777), "IO-Error on fchmod()"))
        return false;
    writeAll(temporary.get(), content);
    syncOrThrow(temporary.get());
    temporary.close();
    if (!temporary.renameTo(directory.name()))
        return false;
    syncDirectory(directory.get());
    return true;
}

} // namespace RawIO
