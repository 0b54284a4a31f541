#pragma once
// A byte sent through a pseudo-terminal of the emulator's own every 50 ms, there and back, timed on
// its way: towards the slave as the module's replies go, back as the host's commands come. A loaded
// machine can hold pty input back for seconds, longer than the tool waits for a reply; the trace
// then says so ("event stall pty MS"), and also when the emulator itself ran late ("event stall run
// MS"), so that a test can tell a stalled machine from a tool that retries for no reason.
#include "Clock.hpp"
#include "Pty.hpp"
#include "Trace.hpp"

namespace emu {

class PtyCanary {
public:
    ~PtyCanary();
    bool open(std::string& error);
    // The end the byte under way arrives at.
    int descriptor() const { return phase == Phase::There ? slave : pty.master(); }
    Nanos nextDeadline() const { return phase == Phase::Idle ? nextAt : NEVER; }
    void onTimer(Nanos now, Trace& trace);
    void onReadable(Nanos now, Trace& trace);
    // Traces the byte under way as a stall once it is late; also called when the emulator stops, as
    // a stall still going on may have spoiled a run that ended first.
    void traceIfStalled(Nanos now, Trace& trace) const;

private:
    enum class Phase { Idle, There, Back };
    Pty pty;
    int slave = -1;
    Phase phase = Phase::Idle;
    Nanos sentAt = NEVER;
    Nanos nextAt = 0;
};

} // namespace emu
