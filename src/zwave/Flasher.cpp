#include "zwave/Flasher.hpp"

#include "rawio/Cancel.hpp"
#include "rawio/TimeoutClock.hpp"
#include "util/Console.hpp"
#include "util/Function.hpp"
#include "zwave/FlasherInternal.hpp"

#include <cstring>
#include <unistd.h>

namespace flasher {

namespace {
BusyLimits limits = DEFAULT_BUSY_LIMITS;
constexpr uint8_t ENABLE_INTERFACE[4] = {0xac, 0x53, 0xaa, 0x55};
constexpr unsigned ENABLE_TRIES = 10;
constexpr useconds_t ENABLE_PAUSE_US = 100000;
constexpr useconds_t FMS_POLL_PAUSE_US = 5000;
constexpr int PAUSE_SLICE_MS = 10;
} // namespace

BusyLimits busyLimits() {
    return limits;
}

bool pauseUnlessCancelled(int milliseconds) {
    TimeoutClock clock;
    for (;;) {
        if (RawIO::cancelRequested())
            return false;
        long long left = clock.remaining(milliseconds);
        if (left == 0)
            return true;
        usleep(useconds_t(left < PAUSE_SLICE_MS ? left : PAUSE_SLICE_MS) * 1000);
    }
}

namespace testing {
void setBusyLimits(BusyLimits newLimits) {
    limits = newLimits;
}
} // namespace testing

} // namespace flasher

using namespace flasher;

bool checkResponse(TemporaryView received, TemporaryView expected) {
    if (received.size() == 4 && expected.size() >= 4 && std::memcmp(received.data(), expected.data(), 4) == 0)
        return true;
    logLine("Response: ", received);
    logLine("Expected: ", expected.sub(0, 4));
    logLine("");
    return false;
}

void dumpExchange(TemporaryView sent, TemporaryView received) {
    logLine(" Sent: ", sent);
    logLine("Recvd: ", received);
}

Flasher::Flasher(Chip& chip) : chip(chip) {
    enabled = chip.setMode(ChipMode::Programming) && enableInterface();
}

bool Flasher::ready() const {
    return chip.hasTty() && enabled && !RawIO::cancelRequested();
}

View Flasher::exchange(const uint8_t (&command)[4], uint8_t (&reply)[4]) {
    chip.write(command);
    return chip.read(reply, REPLY_TIMEOUT_MS);
}

bool Flasher::enableInterface() {
    if (!chip.hasTty() || RawIO::cancelRequested())
        return false;
    progressStep("Enabling interface");
    uint8_t reply[4];
    for (unsigned attempt = 0; attempt < ENABLE_TRIES; ++attempt) {
        chip.discardInput();
        View received = exchange(ENABLE_INTERFACE, reply);
        if (received.size() == 4 && std::memcmp(reply, ENABLE_INTERFACE, 4) == 0)
            return true;
        usleep(ENABLE_PAUSE_US);
        if (RawIO::cancelRequested()) {
            progress("Cancelled");
            return false;
        }
    }
    // The last try reports what came instead of the echo.
    chip.discardInput();
    return checkResponse(exchange(ENABLE_INTERFACE, reply), ENABLE_INTERFACE);
}

bool Flasher::restart() {
    // Without a reset pin the line is held from outside: only the enable sequence can be repeated.
    if (chip.hasResetPin() && !chip.hardwareReset()) {
        enabled = false;
        return false;
    }
    enabled = enableInterface();
    return enabled;
}

bool Flasher::restartWithRetry() {
    return retry(Function::bind<Flasher, &Flasher::restart>(*this), 4, "Retrying chip restart in", 300);
}

bool Flasher::waitForFMS() {
    if (!ready())
        return false;
    progressDetail("(Waiting for FMS)");
    int limitMs = busyLimits().fmsMs;
    TimeoutClock clock;
    uint8_t reply[4];
    for (;;) {
        View received = exchange(CHECK_STATE, reply);
        if (received.size() < 4) {
            dumpExchange(CHECK_STATE, received);
            return false;
        }
        if ((reply[3] & STATE_BUSY) == 0)
            return true;
        if (clock.remaining(limitMs) == 0) {
            dumpExchange(CHECK_STATE, received);
            logLine("Error: Flash state machine still busy after ", limitMs, " ms");
            return false;
        }
        usleep(FMS_POLL_PAUSE_US);
        if (RawIO::cancelRequested())
            return false;
    }
}
