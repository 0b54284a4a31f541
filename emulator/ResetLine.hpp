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
};

// A FIFO at `path` (created when missing).
std::unique_ptr<ResetLine> openResetFifo(const std::string& path, std::string& error);

// The fake /sys/class/gpio mounted at `mountPoint`; levels of line `gpio` only.
std::unique_ptr<ResetLine> mountResetGpio(const std::string& mountPoint, unsigned gpio, std::string& error);

} // namespace emu
