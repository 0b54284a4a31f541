#pragma once
// The pseudo-terminal the tool opens as its serial tty. The emulator keeps a slave descriptor open
// so that the master never sees a hang-up when the tool closes its side, and sets it raw so that
// nothing is echoed or translated before the tool configures the line itself.
#include <string>

namespace emu {

class Pty {
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool open(std::string& error);
    // Makes `linkPath` a symbolic link to the slave (replacing an old link); removed on destruction.
    bool link(const std::string& linkPath, std::string& error);

    int master() const { return masterFd; }
    const std::string& slavePath() const { return path; }

private:
    int masterFd = -1;
    int slaveFd = -1;
    std::string path;
    std::string linkPath;
};

} // namespace emu
