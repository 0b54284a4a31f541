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
    if (writer >= 0)
        close(writer);
}

bool PtyCanary::open(std::string& error) {
    if (!pty.open(error))
        return false;
    writer = ::open(pty.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    nextAt = monotonicNow();
    if (writer < 0)
        error = "canary pty: " + std::string(strerror(errno));
    return writer >= 0;
}

void PtyCanary::onTimer(Nanos now, Trace& trace) {
    if (sentAt != NEVER || now < nextAt)
        return;
    // Between two bytes only the emulator's own lateness shows: the machine did not run it.
    if (now - nextAt >= STALL)
        trace.line(now, "event", "stall", "run " + std::to_string((now - nextAt) / millis(1)));
    if (write(writer, "c", 1) == 1)
        sentAt = now;
}

void PtyCanary::onReadable(Nanos now, Trace& trace) {
    char bytes[16];
    if (read(pty.master(), bytes, sizeof bytes) <= 0 || sentAt == NEVER)
        return;
    traceIfStalled(now, trace);
    sentAt = NEVER;
    nextAt = now + PERIOD;
}

void PtyCanary::traceIfStalled(Nanos now, Trace& trace) const {
    if (sentAt != NEVER && now - sentAt >= STALL)
        trace.line(now, "event", "stall", "pty " + std::to_string((now - sentAt) / millis(1)));
}

} // namespace emu
