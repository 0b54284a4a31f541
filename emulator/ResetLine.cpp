#include "ResetLine.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

std::vector<int> ResetLine::takeLevels() {
    std::vector<int> levels;
    char bytes[64];
    ssize_t count;
    while ((count = read(descriptor(), bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < count; ++i)
            if (bytes[i] == '0' || bytes[i] == '1')
                levels.push_back(bytes[i] - '0');
    return levels;
}

namespace {

class FifoResetLine : public ResetLine {
public:
    explicit FifoResetLine(int fd) : fd(fd) {}
    ~FifoResetLine() override { close(fd); }
    int descriptor() const override { return fd; }

private:
    int fd;
};

} // namespace

std::unique_ptr<ResetLine> openResetFifo(const std::string& path, std::string& error) {
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
        error = path + ": " + strerror(errno);
        return nullptr;
    }
    // Read-write, so that the FIFO never reports end of file when a writer closes it.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return nullptr;
    }
    return std::make_unique<FifoResetLine>(fd);
}

} // namespace emu
