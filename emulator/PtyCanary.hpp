#pragma once
// A byte sent through a pseudo-terminal of the emulator's own every 50 ms, timed on its way. A
// loaded machine can hold pty input back for seconds, longer than the tool waits for a reply; the
// trace then says so ("event stall pty MS"), and also when the emulator itself ran late ("event
// stall run MS"), so that a test can tell a stalled machine from a tool that retries for no reason.
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
    void onTimer(Nanos now, Trace& trace);
    void onReadable(Nanos now, Trace& trace);
    // Traces the byte under way as a stall once it is late; also called when the emulator stops, as
    // a stall still going on may have spoiled a run that ended first.
    void traceIfStalled(Nanos now, Trace& trace) const;

private:
    Pty pty;
    int writer = -1;
    Nanos sentAt = NEVER;
    Nanos nextAt = 0;
};

} // namespace emu
