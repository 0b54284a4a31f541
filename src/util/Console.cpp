#include "util/Console.hpp"

#include "rawio/Cancel.hpp"
#include "rawio/DescriptorIO.hpp"
#include "rawio/TimeoutClock.hpp"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Output is advice; the job on the module is not. A stream that fails, or stalls for longer than
// this (a terminal paused with ^S, a reader that stopped), is given up for the rest of the run.
constexpr int STALL_LIMIT_MS = 100;

struct Stream {
    int fd;
    bool broken = false;

    void write(const char* data, size_t size) {
        if (!broken && !RawIO::writeWithin(fd, data, size, STALL_LIMIT_MS))
            broken = true;
    }
};

struct ConsoleState {
    unsigned lastLength = 0;
    size_t address = 0;
    int sector = 0;
    StringView label = "";
    StringView detail = "";
    char text[512];
    Stream out{1};
    Stream err{2};

    // A status line left pending at exit is ended so that the prompt does not land on it.
    ~ConsoleState() {
        if (lastLength != 0)
            err.write("\n", 1);
    }
};

ConsoleState state;

void drawComposed(int n) {
    if (n < 0)
        return;
    progress(state.text);
}

void drawLabelAndDetail() {
    drawComposed(
        std::snprintf(state.text, sizeof state.text, "%s %s", state.label.data(), state.detail.data()));
}

} // namespace

void clearProgressLine(unsigned width) {
    if (width > 1000)
        return;
    char line[1024];
    line[0] = '\r';
    std::memset(line + 1, ' ', width);
    line[width + 1] = '\r';
    state.err.write(line, width + 2);
}

void print(TemporaryStringView text) {
    clearProgressLine(state.lastLength != 0 ? state.lastLength : 80);
    state.lastLength = 0;
    state.err.write(text.data(), text.size());
}

void print(const Buffer& buffer) {
    print(buffer.view());
}

void progress(const char* text) {
    char line[1024];
    double percent = double(state.address) * 100.0 * 7.62939453125e-6;
    int n = std::snprintf(line, sizeof line, "\r%6.2f%% Sector %2d/63 addr=0x%06zX %s", percent, state.sector,
                          state.address, text);
    if (n < 0 || n > 1023)
        return;
    unsigned length = unsigned(n);
    unsigned width = length;
    if (state.lastLength > length) {
        std::memset(line + length, ' ', state.lastLength - length);
        width = state.lastLength;
    }
    state.out.write(line, width);
    // Nothing is pending on a stream that was given up, so messages need not wipe it.
    state.lastLength = state.out.broken ? 0 : length;
}

void progressStep(StringView label) {
    state.label = label;
    state.detail = "";
    drawLabelAndDetail();
}

void progressSector(int sector, StringView label) {
    state.sector = sector;
    state.address = size_t(sector) * 2048;
    state.label = label;
    state.detail = "";
    drawLabelAndDetail();
}

void progressDetail(StringView detail) {
    state.detail = detail;
    drawLabelAndDetail();
}

void progressAddress(unsigned address, StringView detail) {
    state.address = address;
    state.detail = detail;
    drawLabelAndDetail();
}

void progressRetry(unsigned attempt, unsigned attempts) {
    drawComposed(std::snprintf(state.text, sizeof state.text, "%s (retry %u of %u)", state.label.data(),
                               attempt, attempts));
}

bool countdown(const char* label, int milliseconds) {
    if (RawIO::cancelRequested())
        return false;
    if (milliseconds <= 0)
        return true;
    TimeoutClock clock;
    for (long long left = clock.remaining(milliseconds); left != 0; left = clock.remaining(milliseconds)) {
        char text[128];
        int n = std::snprintf(text, sizeof text, "%s: %.1fs", label, double(left) / 1000.0);
        if (n >= 0 && n < int(sizeof text))
            progress(text);
        if (RawIO::cancelRequested())
            return false;
        usleep(7500);
    }
    return true;
}

bool retry(RetryContext context) {
    if (context.action())
        return true;
    if (context.retries == 0) {
        if (RawIO::cancelRequested())
            progress("Cancelled");
        return false;
    }
    for (unsigned attempt = 0;;) {
        if (!countdown(context.label, context.delayMs)) {
            progress("Cancelled");
            return false;
        }
        if (!context.recover.empty() && !context.recover())
            return false;
        if (context.action())
            return true;
        if (++attempt == context.retries) {
            if (RawIO::cancelRequested())
                progress("Cancelled");
            return false;
        }
    }
}

bool retry(Function action, unsigned retries, const char* label, int delayMs) {
    return retry(RetryContext{action, Function(), retries, label, delayMs});
}

void logException(const RawIO::Exception& e) {
    if (RawIO::cancelRequested())
        throw;
    if (e.error != 0)
        logLine(e.what(), ": ", e.errorText(), " (errno = ", e.error, ")");
    else
        logLine(e.what());
}

void logException(const std::exception& e) {
    if (RawIO::cancelRequested())
        throw;
    logLine(e.what());
}

namespace console::testing {

State state() {
    return State{::state.lastLength, unsigned(::state.address), ::state.sector};
}

void reset(int stdoutFd, int stderrFd) {
    ::state.lastLength = 0;
    ::state.address = 0;
    ::state.sector = 0;
    ::state.label = "";
    ::state.detail = "";
    ::state.out = Stream{stdoutFd};
    ::state.err = Stream{stderrFd};
}

} // namespace console::testing
