#include "rawio/WriteTarget.hpp"

#include "rawio/Exception.hpp"
#include "rawio/WriteSteps.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace RawIO {

namespace {

// The exclusive open only tells whether the file is new; an existing path is then opened as a
// plain write opens it, which follows a link only where the kernel allows.
int openLikeAPlainWrite(const char* path, bool& created) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Exception(errno, OPEN_ERROR);
    return fd;
}

// A file system without preallocation is written all the same; only a lack of space fails here.
void reserveSpace(int fd, size_t size) {
    if (size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0)
        return;
    if (errno == ENOSPC || errno == EDQUOT)
        throw Exception(errno, "IO-Error on fallocate()");
}

} // namespace

WriteTarget::WriteTarget(const char* path) : path(path), fd(openLikeAPlainWrite(path, created)) {
    if (::fstat(fd.get(), &opened) != 0) {
        int error = errno;
        if (created)
            ::unlink(path);
        throw Exception(error, "IO-Error on fstat()");
    }
}

WriteTarget::~WriteTarget() {
    struct stat named;
    if (created && ::lstat(path, &named) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino)
        ::unlink(path);
}

void WriteTarget::writeInPlace(View content) {
    bool regular = S_ISREG(opened.st_mode);
    if (regular)
        reserveSpace(fd.get(), content.size());
    writeAll(fd.get(), content);
    if (regular && ::ftruncate(fd.get(), off_t(content.size())) != 0)
        throw Exception(errno, "IO-Error on ftruncate()");
    if (regular || S_ISBLK(opened.st_mode))
        syncOrThrow(fd.get());
    closeOrThrow(fd);
}

} // namespace RawIO
