#include "rawio/Files.hpp"

#include "rawio/DescriptorIO.hpp"
#include "rawio/Exception.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RawIO {

namespace {

constexpr const char* OPEN_ERROR = "IO-Error on open()";
constexpr const char* WRITE_ERROR = "IO-Error on write()";
constexpr const char* CLOSE_ERROR = "IO-Error on close()";

void writeAll(int fd, View content) {
    size_t offset = 0;
    while (offset < content.size())
        offset += writeOrThrow(fd, content.data() + offset, content.size() - offset);
}

void closeOrThrow(FileDescriptor& fd) {
    if (::close(fd.release()) != 0)
        throw Exception(errno, CLOSE_ERROR);
}

void writeInPlace(const char* path, View content) {
    FileDescriptor fd = openFile(TemporaryCStringView(path), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    writeAll(fd.get(), content);
    closeOrThrow(fd);
}

// A new file beside `target`, created exclusively under a fresh name written to `name`.
FileDescriptor createTemporary(const char* target, char (&name)[PATH_MAX]) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        unsigned tag = unsigned(now.tv_nsec) ^ (unsigned(::getpid()) << 12) ^ (++counter * 2654435761u);
        int n = std::snprintf(name, sizeof name, "%s.tmp-%06x", target, tag & 0xffffff);
        if (n < 0 || size_t(n) >= sizeof name)
            throw Exception(ENAMETOOLONG, OPEN_ERROR);
        int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return FileDescriptor(fd);
        if (errno != EEXIST)
            throw Exception(errno, OPEN_ERROR);
    }
    throw Exception(EEXIST, OPEN_ERROR);
}

// Removes the temporary file on every way out that did not rename it into place.
class TemporaryName {
public:
    explicit TemporaryName(const char* name) : name(name) {}
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    ~TemporaryName() {
        if (name)
            ::unlink(name);
    }
    void keep() { name = nullptr; }

private:
    const char* name;
};

// Makes the rename itself durable. A file system that cannot sync directories (EINVAL) is
// accepted as it is; a directory we may not open leaves the rename to the next sync.
void syncDirectoryOf(const char* target) {
    char directory[PATH_MAX];
    const char* slash = std::strrchr(target, '/');
    if (!slash) {
        std::strcpy(directory, ".");
    } else if (slash == target) {
        std::strcpy(directory, "/");
    } else {
        size_t length = size_t(slash - target);
        std::memcpy(directory, target, length);
        directory[length] = '\0';
    }
    FileDescriptor fd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return;
    if (::fsync(fd.get()) != 0 && errno != EINVAL)
        throw Exception(errno, WRITE_ERROR);
}

void replaceWhole(const char* target, View content, const struct stat* existing) {
    char name[PATH_MAX];
    FileDescriptor fd = createTemporary(target, name);
    TemporaryName temporary(name);
    if (existing) {
        // The owner first (changing it clears set-id bits that the mode then restores). Keeping
        // the owner is a courtesy that not every file system or user can afford; keeping the
        // mode is not, since a backup holds the network's keys.
        int ownerKept = ::fchown(fd.get(), existing->st_uid, existing->st_gid);
        (void)ownerKept;
        if (::fchmod(fd.get(), existing->st_mode & 07777) != 0)
            throw Exception(errno, OPEN_ERROR);
    }
    writeAll(fd.get(), content);
    if (::fsync(fd.get()) != 0)
        throw Exception(errno, WRITE_ERROR);
    closeOrThrow(fd);
    if (::rename(name, target) != 0)
        throw Exception(errno, CLOSE_ERROR);
    temporary.keep();
    syncDirectoryOf(target);
}

} // namespace

FileDescriptor openFile(TemporaryCStringView path, int flags) {
    int fd = ::open(path.c_str(), flags);
    if (fd < 0)
        throw Exception(errno, OPEN_ERROR);
    return FileDescriptor(fd);
}

FileDescriptor openFile(TemporaryCStringView path, int flags, mode_t mode) {
    int fd = ::open(path.c_str(), flags, mode);
    if (fd < 0)
        throw Exception(errno, OPEN_ERROR);
    return FileDescriptor(fd);
}

View readFile(TemporaryCStringView path, Span storage) {
    FileDescriptor fd = openFile(path, O_RDONLY);
    size_t total = 0;
    while (total < storage.size()) {
        size_t n = readOrThrow(fd.get(), storage.data() + total, storage.size() - total);
        if (n == 0)
            return View(storage.data(), total);
        total += n;
    }
    uint8_t extra;
    if (readOrThrow(fd.get(), &extra, 1) != 0)
        throw Exception(0, "file bigger than buffer");
    return storage;
}

void writeFile(TemporaryCStringView path, TemporaryView content) {
    const char* target = path.c_str();
    // A link is followed, as opening would: the file it points to is replaced, not the link.
    char resolved[PATH_MAX];
    struct stat status;
    if (::lstat(target, &status) == 0 && S_ISLNK(status.st_mode)) {
        if (!::realpath(target, resolved)) {
            writeInPlace(target, content);
            return;
        }
        target = resolved;
    }
    bool exists = ::stat(target, &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        writeInPlace(target, content);
        return;
    }
    replaceWhole(target, content, exists ? &status : nullptr);
}

} // namespace RawIO
