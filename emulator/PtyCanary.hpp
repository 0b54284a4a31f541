#pragma once
// A byte sent through a pseudo-terminal of the emulator's own every 50 ms, timed on its way. A
// loaded machine can hold pty input back for seconds, longer than the tool waits for a reply; the
// trace then says so ("event stall pty MS"), so that a test can tell a stalled machine from a tool
// that retries for no reason.
#include "Clock.hpp"
#include "Pty.hpp"
#include "Trace.hpp"

namespace emu {

class PtyCanary {
public:
    ~PtyCanary();
    bool open(std::string& error);
    int descriptor() const { return pty.master(); }
    Nanos nextDeadline() const { return sentAt == NEVER ? nextAt : NEVER; }
    void onTimer(Nanos now);
    void onReadable(Nanos now, Trace& trace);

private:
    Pty pty;
    int writer = -1;
    Nanos sentAt = NEVER;
    Nanos nextAt = 0;
};

} // namespace emu
