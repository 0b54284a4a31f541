#include "rawio/ReadBuffer.hpp"

#include "rawio/DescriptorIO.hpp"

#include <cstring>

std::pair<uint8_t, bool> ReadBufferImpl::readByte(int fd, int timeoutMs) {
    begin = 0;
    end = 0;
    size_t n = RawIO::readWithTimeout(fd, data, capacity, timeoutMs);
    if (n == 0)
        return {0, false};
    begin = 1;
    end = n;
    return {data[0], true};
}

Span ReadBufferImpl::read(int fd, Span dest, int timeoutMs) {
    size_t count = takeBuffered(dest);
    if (count == dest.size())
        return dest;
    count += readMore(fd, dest.from(count), timeoutMs);
    return dest.first(count);
}

size_t ReadBufferImpl::takeBuffered(Span dest) {
    size_t avail = end - begin;
    if (dest.empty())
        return 0;
    if (dest.size() < avail) {
        std::memcpy(dest.data(), data + begin, dest.size());
        begin += dest.size();
        return dest.size();
    }
    if (avail != 0)
        std::memcpy(dest.data(), data + begin, avail);
    begin = 0;
    end = 0;
    return avail;
}

size_t ReadBufferImpl::readMore(int fd, Span dest, int timeoutMs) {
    // Large requests skip the intermediate copy.
    if (dest.size() > capacity / 2)
        return RawIO::readAtLeast(fd, dest.data(), dest.size(), dest.size(), timeoutMs);
    size_t got = RawIO::readAtLeast(fd, data, dest.size(), capacity, timeoutMs);
    if (got <= dest.size()) {
        std::memcpy(dest.data(), data, got);
        return got;
    }
    std::memcpy(dest.data(), data, dest.size());
    begin = dest.size();
    end = got;
    return dest.size();
}

void ReadBuffer::discard(const FileDescriptor& fd) {
    begin = 0;
    end = 0;
    RawIO::discardInput(fd.get());
}
