#include "ResetLine.hpp"

#include "gpiofs/GpioFs.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace emu {

namespace {

// The FUSE thread forwards level changes through a pipe and waits until the event loop reports
// them applied; the event loop does the rest.
class GpioResetLine : public ResetLine {
public:
    GpioResetLine(const int (&levels)[2], const int (&applied)[2])
        : readEnd(levels[0]), writeEnd(levels[1]), appliedRead(applied[0]), appliedWrite(applied[1]) {}
    ~GpioResetLine() override {
        fs.unmount();
        for (int fd : {readEnd, writeEnd, appliedRead, appliedWrite})
            close(fd);
    }
    int descriptor() const override { return readEnd; }
    void levelsApplied() override {
        char done = 0;
        ssize_t written = write(appliedWrite, &done, 1);
        (void)written;
    }

    bool mount(const std::string& mountPoint, unsigned gpio, std::string& error) {
        fs.onValue([this, gpio](unsigned line, int value) {
            if (line != gpio)
                return;
            char stale[16];
            while (read(appliedRead, stale, sizeof stale) > 0) {
            }
            char level = value != 0 ? '1' : '0';
            ssize_t written = write(writeEnd, &level, 1);
            (void)written;
            // Bounded, so that a stopped event loop cannot hang the writer.
            pollfd applied = {appliedRead, POLLIN, 0};
            if (poll(&applied, 1, 1000) > 0)
                written = read(appliedRead, stale, 1);
        });
        return fs.mount(mountPoint, error);
    }

private:
    int readEnd;
    int writeEnd;
    int appliedRead;
    int appliedWrite;
    gpiofs::GpioFs fs;
};

} // namespace

std::unique_ptr<ResetLine> mountResetGpio(const std::string& mountPoint, unsigned gpio, std::string& error) {
    int levels[2];
    int applied[2];
    if (pipe2(levels, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe failed";
        return nullptr;
    }
    if (pipe2(applied, O_NONBLOCK | O_CLOEXEC) != 0) {
        close(levels[0]);
        close(levels[1]);
        error = "pipe failed";
        return nullptr;
    }
    auto line = std::make_unique<GpioResetLine>(levels, applied);
    if (!line->mount(mountPoint, gpio, error))
        return nullptr;
    return line;
}

} // namespace emu
