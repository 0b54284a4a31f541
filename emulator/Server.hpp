#pragma once
// `tarnwick-emu serve`: one poll loop over the pty master, the reset line and the signals, with the
// module's timers; the state is saved when the host has been quiet for a moment and at exit.
#include "ModuleContext.hpp"

#include <string>
#include <vector>

namespace emu {

struct ServeOptions {
    std::string stateDirectory;
    std::string linkPath;
    std::string gpioMount;
    int resetGpio = -1;
    std::string resetFifo;
    unsigned baud = 0;
    Timing timing;
    std::string tracePath;
    std::vector<std::string> faults;
    std::string readyFile;
    int initialLevel = 1;
};

// Runs until SIGTERM or SIGINT; returns the process exit status.
int serve(const ServeOptions& options);

} // namespace emu
