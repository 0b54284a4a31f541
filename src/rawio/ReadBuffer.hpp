#pragma once
// Read-ahead on the chip's tty: each read takes in up to 2048 bytes and the surplus is served to
// the next request before the descriptor is touched again.
#include "rawio/FileDescriptor.hpp"
#include "util/View.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

// The out-of-line worker: everything that touches the descriptor. Made on the stack per call.
class ReadBufferImpl {
public:
    ReadBufferImpl(unsigned char* data, size_t capacity, size_t& begin, size_t& end)
        : data(data), capacity(capacity), begin(begin), end(end) {}

    std::pair<uint8_t, bool> readByte(int fd, int timeoutMs);
    Span read(int fd, Span dest, int timeoutMs);
    // Moves buffered bytes to the front of `dest`; returns how many.
    size_t takeBuffered(Span dest);
    // Fills `dest` from the descriptor (the buffer is empty here); returns how many came.
    size_t readMore(int fd, Span dest, int timeoutMs);

private:
    unsigned char* data;
    size_t capacity;
    size_t& begin;
    size_t& end;
};

class ReadBuffer {
public:
    static constexpr size_t CAPACITY = 2048;

    bool empty() const { return begin == end; }

    // The next buffered byte; never reads.
    std::pair<uint8_t, bool> takeByte() {
        if (begin == end)
            return {0, false};
        return {data[begin++], true};
    }

    // The next byte, from the buffer or else from one timed read; (0, false) on timeout.
    std::pair<uint8_t, bool> readByte(const FileDescriptor& fd, int timeoutMs) {
        if (begin != end)
            return {data[begin++], true};
        return impl().readByte(fd.get(), timeoutMs);
    }

    // The filled prefix of `dest`; shorter than `dest` when the timeout passed first.
    Span read(const FileDescriptor& fd, Span dest, int timeoutMs) {
        return impl().read(fd.get(), dest, timeoutMs);
    }

    // Drops the buffered bytes and everything the descriptor has pending now.
    void discard(const FileDescriptor& fd);

    ReadBufferImpl impl() { return ReadBufferImpl(data, CAPACITY, begin, end); }

    // Buffered bytes are data[begin .. end).
    unsigned char data[CAPACITY];
    size_t begin = 0;
    size_t end = 0;
};
