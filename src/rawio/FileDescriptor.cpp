#include "rawio/FileDescriptor.hpp"

#include "rawio/DescriptorIO.hpp"

#include <unistd.h>

namespace RawIO {

bool closeDescriptor(int fd) {
    return ::close(fd) == 0;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd >= 0)
            closeDescriptor(fd);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd >= 0)
        closeDescriptor(fd);
}

void FileDescriptor::discardInput() const {
    RawIO::discardInput(fd);
}

} // namespace RawIO
