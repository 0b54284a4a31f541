#include "rawio/DescriptorIO.hpp"

#include "rawio/Cancel.hpp"
#include "rawio/Exception.hpp"
#include "rawio/TimeoutClock.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace RawIO {

namespace {

constexpr const char* POLL_ERROR = "IO-Error on poll()";
constexpr const char* READ_ERROR = "IO-Error on read()";
constexpr const char* WRITE_ERROR = "IO-Error on write()";

// A cancelling signal that arrives between two waits interrupts no system call, so a cancelled run
// begins no wait, and the signal's wake-up descriptor ends a wait that began just before it came.
int pollOrThrow(int fd, short events, int timeoutMs) {
    if (cancelRequested())
        throw Exception(EINTR, POLL_ERROR);
    pollfd entries[2] = {{fd, events, 0}, {cancelWakeDescriptor(), POLLIN, 0}};
    int ready = ::poll(entries, entries[1].fd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0)
        throw Exception(errno, POLL_ERROR);
    if (entries[1].revents != 0)
        throw Exception(EINTR, POLL_ERROR);
    return ready;
}

} // namespace

size_t readOrThrow(int fd, void* buf, size_t len) {
    ssize_t n = ::read(fd, buf, len);
    if (n < 0)
        throw Exception(errno, READ_ERROR);
    return size_t(n);
}

size_t writeOrThrow(int fd, const void* buf, size_t len) {
    ssize_t n = ::write(fd, buf, len);
    if (n < 0)
        throw Exception(errno, WRITE_ERROR);
    return size_t(n);
}

bool writeFully(int fd, const void* buf, size_t len) {
    const char* bytes = static_cast<const char*>(buf);
    size_t offset = 0;
    while (offset < len) {
        ssize_t n = ::write(fd, bytes + offset, len - offset);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                throw Exception(errno, WRITE_ERROR);
            pollOrThrow(fd, POLLOUT, -1);
            continue;
        }
        offset += size_t(n);
    }
    return true;
}

bool writeWithin(int fd, const void* buf, size_t len, int timeoutMs) {
    const char* bytes = static_cast<const char*>(buf);
    TimeoutClock clock;
    size_t offset = 0;
    while (offset < len) {
        // Waiting for room first keeps a blocking write from hanging on a paused terminal or a
        // stalled reader: once poll reports room, a write of a console line goes through at once.
        pollfd entry = {fd, POLLOUT, 0};
        int ready = ::poll(&entry, 1, int(clock.remaining(timeoutMs)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (entry.revents & (POLLERR | POLLNVAL)) != 0)
            return false;
        ssize_t n = ::write(fd, bytes + offset, len - offset);
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (n > 0)
            offset += size_t(n);
    }
    return true;
}

void discardInput(int fd) {
    unsigned char scratch[2048];
    while (pollOrThrow(fd, POLLIN, 0) > 0) {
        if (readOrThrow(fd, scratch, sizeof scratch) == 0)
            return;
    }
}

size_t readWithTimeout(int fd, void* buf, size_t len, int timeoutMs) {
    if (pollOrThrow(fd, POLLIN, timeoutMs) == 0)
        return 0;
    return readOrThrow(fd, buf, len);
}

size_t readAtLeast(int fd, void* buf, size_t min, size_t max, int timeoutMs) {
    TimeoutClock clock;
    if (!clock.valid())
        throw Exception(0, "Error getting monotonic clock");
    if (timeoutMs == 0)
        return 0;
    unsigned char* bytes = static_cast<unsigned char*>(buf);
    size_t got = 0;
    int wait = timeoutMs;
    while (wait != 0) {
        if (pollOrThrow(fd, POLLIN, wait) == 0)
            break;
        got += readOrThrow(fd, bytes + got, max - got);
        if (got >= min)
            break;
        wait = int(clock.remaining(timeoutMs));
    }
    return got;
}

} // namespace RawIO
