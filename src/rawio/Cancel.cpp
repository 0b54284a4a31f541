#include "rawio/Cancel.hpp"

#include <csignal>

namespace RawIO {

namespace {

volatile sig_atomic_t cancelFlag = 0;

void onSignal(int) {
    cancelFlag = 1;
}

} // namespace

bool installCancelHandlers() {
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

namespace testing {
void clearCancellation() {
    cancelFlag = 0;
}
} // namespace testing

} // namespace RawIO
