#include "rawio/Cancel.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace RawIO {

namespace {

volatile sig_atomic_t cancelFlag = 0;
int wakeRead = -1;
int wakeWrite = -1;

void onSignal(int) {
    cancelFlag = 1;
    if (wakeWrite >= 0) {
        int saved = errno;
        ssize_t ignored = ::write(wakeWrite, "x", 1);
        (void)ignored;
        errno = saved;
    }
}

} // namespace

bool installCancelHandlers() {
    if (wakeRead < 0) {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            wakeRead = fds[0];
            wakeWrite = fds[1];
        }
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    return sigaction(SIGINT, &action, nullptr) == 0;
}

bool cancelRequested() {
    return cancelFlag != 0;
}

int cancelWakeDescriptor() {
    return wakeRead;
}

namespace testing {
void clearCancellation() {
    cancelFlag = 0;
    char drained[64];
    while (wakeRead >= 0 && ::read(wakeRead, drained, sizeof drained) > 0) {
    }
}
} // namespace testing

} // namespace RawIO
