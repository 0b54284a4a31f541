#include "VirtualModule.hpp"

#include "util/Console.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

// The fuzz targets link with --wrap for these, so that only references from the tool's objects
// (and the targets') land here; everything else keeps the real functions.
extern "C" {
int __real_poll(pollfd* fds, nfds_t count, int timeoutMs);
ssize_t __real_read(int fd, void* buffer, size_t size);
ssize_t __real_write(int fd, const void* buffer, size_t size);
int __real_usleep(useconds_t microseconds);
int __real_clock_gettime(clockid_t clock, timespec* now);
}

namespace fuzzing {

namespace {

// A run whose virtual waits add up to more than this is taken as a hang of the tool.
constexpr long long VIRTUAL_LIMIT_NS = 3600LL * 1000 * 1000 * 1000;

struct State {
    bool active = false;
    int fd = -1;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    const uint8_t* pending = nullptr;
    size_t pendingSize = 0;
    bool delayed = false;
    size_t written = 0;
    long long startNs = 0;
    long long nowNs = 0;
};

State state;

void advance(long long nanoseconds) {
    state.nowNs += nanoseconds;
    if (state.nowNs - state.startNs > VIRTUAL_LIMIT_NS) {
        fprintf(stderr, "virtual module: the tool waited more than an hour of virtual time\n");
        abort();
    }
}

// Takes the next chunk, if any is left, as the bytes that arrive next.
void nextChunk() {
    if (state.position >= state.size)
        return;
    uint8_t lead = state.data[state.position++];
    size_t length = lead & 0x7F;
    if (length > state.size - state.position)
        length = state.size - state.position;
    state.pending = state.data + state.position;
    state.pendingSize = length;
    state.delayed = (lead & 0x80) != 0;
    state.position += length;
}

int pollModule(pollfd& entry, int timeoutMs) {
    entry.revents = 0;
    if (entry.events & POLLOUT) {
        entry.revents = POLLOUT;
        return 1;
    }
    if (state.pendingSize == 0 && timeoutMs != 0)
        nextChunk();
    if (state.pendingSize != 0 && !state.delayed) {
        entry.revents = POLLIN;
        return 1;
    }
    if (timeoutMs < 0 && state.pendingSize != 0) {
        state.delayed = false;
        entry.revents = POLLIN;
        return 1;
    }
    if (timeoutMs < 0) {
        fprintf(stderr, "virtual module: the tool waits for input without a timeout\n");
        abort();
    }
    // A delayed chunk arrives once a wait with a timeout has passed.
    if (timeoutMs != 0)
        state.delayed = false;
    // Real time would pass even for a zero timeout; a loop that polls must not stand still.
    advance(timeoutMs == 0 ? 1000000LL : timeoutMs * 1000000LL);
    return 0;
}

} // namespace

void quietConsole() {
    static int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (getenv("FUZZ_VERBOSE") != nullptr)
        console::testing::reset(1, 2);
    else
        console::testing::reset(null, null);
}

VirtualModule::VirtualModule(const uint8_t* data, size_t size) {
    state = State{};
    state.data = data;
    state.size = size;
}

VirtualModule::~VirtualModule() {
    state = State{};
}

const char* VirtualModule::ttyPath() {
    static char name[128];
    static int master = -1;
    static int slave = -1;
    if (master < 0 && openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        perror("openpty");
        abort();
    }
    return name;
}

void VirtualModule::attach(int fd) {
    timespec now;
    __real_clock_gettime(CLOCK_MONOTONIC, &now);
    state.fd = fd;
    state.startNs = now.tv_sec * 1000000000LL + now.tv_nsec;
    state.nowNs = state.startNs;
    state.active = true;
}

size_t VirtualModule::written() const {
    return state.written;
}

} // namespace fuzzing

using fuzzing::state;

extern "C" {

// The tool's waits poll its descriptor and, beside it, the cancellation wake-up pipe.
int __wrap_poll(pollfd* fds, nfds_t count, int timeoutMs) {
    if (!state.active || count < 1 || count > 2 || fds[0].fd != state.fd)
        return __real_poll(fds, count, timeoutMs);
    if (count == 2)
        fds[1].revents = 0;
    return fuzzing::pollModule(fds[0], timeoutMs);
}

ssize_t __wrap_read(int fd, void* buffer, size_t size) {
    if (!state.active || fd != state.fd)
        return __real_read(fd, buffer, size);
    if (state.pendingSize == 0 || state.delayed) {
        errno = EAGAIN;
        return -1;
    }
    size_t n = size < state.pendingSize ? size : state.pendingSize;
    memcpy(buffer, state.pending, n);
    state.pending += n;
    state.pendingSize -= n;
    return ssize_t(n);
}

ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
    if (!state.active || fd != state.fd)
        return __real_write(fd, buffer, size);
    state.written += size;
    return ssize_t(size);
}

int __wrap_usleep(useconds_t microseconds) {
    if (!state.active)
        return __real_usleep(microseconds);
    fuzzing::advance(microseconds * 1000LL);
    return 0;
}

int __wrap_clock_gettime(clockid_t clock, timespec* now) {
    if (!state.active || clock != CLOCK_MONOTONIC)
        return __real_clock_gettime(clock, now);
    // Every reading moves the clock a little, as real time would.
    fuzzing::advance(1000);
    now->tv_sec = time_t(state.nowNs / 1000000000LL);
    now->tv_nsec = long(state.nowNs % 1000000000LL);
    return 0;
}
}
