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
    if (writer < 0)
        error = "canary pty: " + std::string(strerror(errno));
    return writer >= 0;
}

void PtyCanary::onTimer(Nanos now) {
    if (sentAt == NEVER && now >= nextAt && write(writer, "c", 1) == 1)
        sentAt = now;
}

void PtyCanary::onReadable(Nanos now, Trace& trace) {
    char bytes[16];
    if (read(pty.master(), bytes, sizeof bytes) <= 0 || sentAt == NEVER)
        return;
    if (now - sentAt >= STALL)
        trace.line(now, "event", "stall", "pty " + std::to_string((now - sentAt) / millis(1)));
    sentAt = NEVER;
    nextAt = now + PERIOD;
}

} // namespace emu
