#pragma once
// Reads and writes on plain descriptors that throw RawIO::Exception on every system error and
// never retry a failed call (EINTR included: that is how a cancellation ends a wait).
#include <cstddef>

namespace RawIO {

size_t readOrThrow(int fd, void* buf, size_t len);
size_t writeOrThrow(int fd, const void* buf, size_t len);

// Writes all bytes. A descriptor that is not ready (EAGAIN) is waited for, so a non-blocking
// tty or pipe behaves like a blocking one.
bool writeFully(int fd, const void* buf, size_t len);

// Writes all bytes unless the descriptor fails or is not ready for `timeoutMs` in all; false
// then. Never throws and ignores cancellation: for output that must neither stop nor stall a job.
bool writeWithin(int fd, const void* buf, size_t len, int timeoutMs);

// Drops what the descriptor can deliver right now; stops at end of file (a hung-up line).
void discardInput(int fd);

// One poll of up to `timeoutMs` (negative: no limit) and at most one read; 0 when nothing came.
size_t readWithTimeout(int fd, void* buf, size_t len, int timeoutMs);

// At least `min` and at most `max` bytes within the timeout; fewer when the time ran out.
size_t readAtLeast(int fd, void* buf, size_t min, size_t max, int timeoutMs);

} // namespace RawIO
