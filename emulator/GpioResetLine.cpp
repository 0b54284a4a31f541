#include "ResetLine.hpp"

#include "gpiofs/GpioFs.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace emu {

namespace {

// The FUSE thread only forwards level changes through a pipe; the event loop does the rest.
class GpioResetLine : public ResetLine {
public:
    GpioResetLine(int readEnd, int writeEnd) : readEnd(readEnd), writeEnd(writeEnd) {}
    ~GpioResetLine() override {
        fs.unmount();
        close(readEnd);
        close(writeEnd);
    }
    int descriptor() const override { return readEnd; }

    bool mount(const std::string& mountPoint, unsigned gpio, std::string& error) {
        int fd = writeEnd;
        fs.onValue([fd, gpio](unsigned line, int value) {
            if (line != gpio)
                return;
            char level = value != 0 ? '1' : '0';
            ssize_t written = write(fd, &level, 1);
            (void)written;
        });
        return fs.mount(mountPoint, error);
    }

private:
    int readEnd;
    int writeEnd;
    gpiofs::GpioFs fs;
};

} // namespace

std::unique_ptr<ResetLine> mountResetGpio(const std::string& mountPoint, unsigned gpio, std::string& error) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe failed";
        return nullptr;
    }
    auto line = std::make_unique<GpioResetLine>(fds[0], fds[1]);
    if (!line->mount(mountPoint, gpio, error))
        return nullptr;
    return line;
}

} // namespace emu
