#pragma once
// Where the reset line's level comes from: the fake sysfs GPIO tree (a write to gpioN/value by the
// tool) or, without FUSE, a FIFO into which a script writes '0' and '1'. Either way the event loop
// reads level changes as the characters '0' and '1' from one descriptor.
#include <memory>
#include <string>
#include <vector>

namespace emu {

class ResetLine {
public:
    virtual ~ResetLine() = default;
    virtual int descriptor() const = 0;
    // Reads the levels that arrived since the last call (oldest first).
    std::vector<int> takeLevels();
    // The levels taken have taken effect and what the module sent on them is on the wire.
    virtual void levelsApplied() {}
};

// A FIFO at `path` (created when missing).
std::unique_ptr<ResetLine> openResetFifo(const std::string& path, std::string& error);

// The fake /sys/class/gpio mounted at `mountPoint`; levels of line `gpio` only. A write to the line
// returns once the level has taken effect, as on a real GPIO: what the module sends on a level
// change is then already on the line.
std::unique_ptr<ResetLine> mountResetGpio(const std::string& mountPoint, unsigned gpio, std::string& error);

} // namespace emu
