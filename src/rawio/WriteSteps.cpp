#include "rawio/WriteSteps.hpp"

#include "rawio/DescriptorIO.hpp"
#include "rawio/Exception.hpp"

#include <cerrno>
#include <unistd.h>

namespace RawIO {

bool isRefusal(int error) {
    return error == EACCES || error == EPERM || error == ENAMETOOLONG || error == EXDEV || error == EBUSY;
}

void writeAll(int fd, View content) {
    size_t offset = 0;
    while (offset < content.size())
        offset += writeOrThrow(fd, content.data() + offset, content.size() - offset);
}

void syncOrThrow(int fd) {
    if (::fsync(fd) != 0)
        throw Exception(errno, "IO-Error on fsync()");
}

void closeOrThrow(FileDescriptor& fd) {
    if (::close(fd.release()) != 0)
        throw Exception(errno, "IO-Error on close()");
}

} // namespace RawIO
