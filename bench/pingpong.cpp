// The floor for one programming-interface exchange: the smallest client that can talk to the
// module over the same tty settings as the tool. It enables the interface once, then sends
// check-state N times, each one a write of 4 bytes, a poll and reads until the 4-byte reply is in.
// Prints: exchanges, seconds (first write to last reply), user and system CPU seconds.
#include "zwave/open_tty.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr unsigned char ENABLE[4] = {0xac, 0x53, 0xaa, 0x55};
constexpr unsigned char CHECK_STATE[4] = {0x7f, 0xfe, 0x00, 0x00};
constexpr int REPLY_TIMEOUT_MS = 1000;

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) * 1e-6;
}

// One exchange; false when the reply did not come or differs in its first three bytes.
bool exchange(int fd, const unsigned char (&command)[4]) {
    if (write(fd, command, 4) != 4)
        return false;
    unsigned char reply[4];
    size_t got = 0;
    while (got < 4) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, REPLY_TIMEOUT_MS) != 1)
            return false;
        ssize_t n = read(fd, reply + got, 4 - got);
        if (n < 0 && errno != EAGAIN)
            return false;
        got += n > 0 ? size_t(n) : 0;
    }
    return std::memcmp(reply, command, 3) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench-pingpong TTY COUNT\n");
        return 2;
    }
    ExclusiveTty tty = openTTY(argv[1]);
    long count = std::atol(argv[2]);
    if (!tty.valid() || count <= 0)
        return 2;
    int fd = tty.get();
    bool enabled = false;
    for (int attempt = 0; attempt < 10 && !enabled; ++attempt) {
        unsigned char scratch[64];
        while (read(fd, scratch, sizeof scratch) > 0) {
        }
        enabled = exchange(fd, ENABLE);
    }
    if (!enabled) {
        fprintf(stderr, "bench-pingpong: the programming interface does not answer\n");
        return 1;
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    double start = now();
    for (long i = 0; i < count; ++i) {
        if (!exchange(fd, CHECK_STATE)) {
            fprintf(stderr, "bench-pingpong: exchange %ld failed\n", i + 1);
            return 1;
        }
    }
    double elapsed = now() - start;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    printf("%ld %.6f %.6f %.6f\n", count, elapsed, seconds(after.ru_utime) - seconds(before.ru_utime),
           seconds(after.ru_stime) - seconds(before.ru_stime));
    return 0;
}
