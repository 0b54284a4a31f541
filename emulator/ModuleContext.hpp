#pragma once
// What the two faces of the module (Serial API and programming interface) share: its memories,
// its faults, the trace, the wire towards the host and how long things take.
#include "Clock.hpp"
#include "Faults.hpp"
#include "ModuleState.hpp"
#include "PacedQueue.hpp"
#include "Trace.hpp"

namespace emu {

struct Timing {
    // Longer than the 7.5 ms pulse that restarts the programming interface, so that such a pulse
    // never boots the firmware.
    Nanos bootDelay = millis(20);
    Nanos eraseBusy = 0;
    Nanos writeBusy = 0;
    Nanos crcBusy = 0;
    Nanos setDefaultDelay = millis(5);
    // How long the module waits for the host's ACK of one of its frames.
    Nanos ackTimeout = millis(1600);

    // What a real module takes, for demos at 115200 baud.
    static Timing realistic() {
        Timing timing;
        timing.bootDelay = millis(120);
        timing.eraseBusy = millis(20);
        timing.writeBusy = millis(12);
        timing.crcBusy = millis(1800);
        timing.setDefaultDelay = millis(700);
        return timing;
    }
};

struct ModuleContext {
    ModuleState& state;
    Faults& faults;
    Trace& trace;
    PacedQueue& toHost;
    Timing timing;
};

} // namespace emu
