#include "PtyCanary.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace emu {

namespace {
const Nanos PERIOD = millis(50), STALL = millis(250);
}

PtyCanary::~PtyCanary() {
    if (slave >= 0)
        close(slave);
}

bool PtyCanary::open(std::string& error) {
    if (!pty.open(error))
        return false;
    slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    nextAt = monotonicNow();
    if (slave < 0)
        error = "canary pty: " + std::string(strerror(errno));
    return slave >= 0;
}

void PtyCanary::onTimer(Nanos now, Trace& trace) {
    if (phase != Phase::Idle || now < nextAt)
        return;
    // Between two bytes only the emulator's own lateness shows: the machine did not run it.
    if (now - nextAt >= STALL)
        trace.line(now, "event", "stall", "run " + std::to_string((now - nextAt) / millis(1)));
    if (write(pty.master(), "c", 1) == 1) {
        sentAt = now;
        phase = Phase::There;
    }
}

void PtyCanary::onReadable(Nanos now, Trace& trace) {
    char bytes[16];
    if (read(descriptor(), bytes, sizeof bytes) <= 0)
        return;
    if (phase == Phase::There) {
        phase = write(slave, "c", 1) == 1 ? Phase::Back : Phase::Idle;
        return;
    }
    traceIfStalled(now, trace);
    phase = Phase::Idle;
    nextAt = now + PERIOD;
}

void PtyCanary::traceIfStalled(Nanos now, Trace& trace) const {
    if (phase != Phase::Idle && now - sentAt >= STALL)
        trace.line(now, "event", "stall", "pty " + std::to_string((now - sentAt) / millis(1)));
}

} // namespace emu
