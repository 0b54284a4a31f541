#include "rawio/Files.hpp"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace RawIO {

Status writeExact(int fd, const void* buf, size_t len) {
    ssize_t n = ::write(fd, buf, len);
    if (n < 0)
        return statusFromErrno(errno, WriteFailed);
    return size_t(n) == len ? OK : IncompleteWrite;
}

Status writeStringFile(const char* path, const std::string& text) {
    int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return statusFromErrno(errno, Unclassified);
    Status status = writeExact(fd, text.data(), text.size());
    closeDescriptor(fd);
    return status;
}

Status readStringFile(const char* path, std::string& out, size_t maxLength) {
    FileDescriptor fd(::open(path, O_RDONLY));
    if (!fd.valid())
        return statusFromErrno(errno, Unclassified);
    std::unique_ptr<char[]> storage(new (std::nothrow) char[maxLength]);
    if (!storage)
        return OutOfMemory;
    ssize_t n = ::read(fd.get(), storage.get(), maxLength);
    if (n < 0)
        return ReadFailed;
    out.assign(storage.get(), size_t(n));
    return OK;
}

} // namespace RawIO
