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
    int terminal = -1; // unknown until first asked

    void write(const char* data, size_t size) {
        if (!broken && !RawIO::writeWithin(fd, data, size, STALL_LIMIT_MS))
            broken = true;
    }
    // Redraws and wipes are for a person at a terminal; a pipe or a log gets plain lines.
    bool isTerminal() {
        if (terminal < 0)
            terminal = ::isatty(fd) ? 1 : 0;
        return terminal == 1;
    }
};

// What a status update changes, which decides whether a log gets a line for it.
enum class Change {
    Detail, // the detail word, a countdown's redraws: on a terminal only
    Sector, // the sector of a flash: one line per sector in a log
    Step,   // the job's step: a line when it differs from the last one
    Word,   // a retry, an outcome ("Done", "Failed", "Cancelled"): a line unless just printed
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
    // The last line a log got, so that an outcome already printed by a step is not repeated.
    char logged[1024];
    size_t loggedLength = 0;
    int loggedSector = -1;

    // A status line left pending at exit is ended so that the prompt does not land on it: on
    // stderr as usual, on stdout when only stdout is a terminal.
    ~ConsoleState() {
        if (lastLength == 0)
            return;
        if (err.isTerminal())
            err.write("\n", 1);
        else if (out.isTerminal())
            out.write("\n", 1);
    }
};

ConsoleState state;

void draw(const char* text, Change change);

void drawComposed(int n, Change change) {
    if (n < 0)
        return;
    draw(state.text, change);
}

void drawLabelAndDetail(Change change) {
    drawComposed(
        std::snprintf(state.text, sizeof state.text, "%s %s", state.label.data(), state.detail.data()),
        change);
}

// One plain line for a log: the status line without its carriage return and padding.
void logStatus(const char* line, size_t length, Change change) {
    while (length > 0 && line[length - 1] == ' ')
        --length;
    if (change == Change::Detail || (change == Change::Sector && state.sector == state.loggedSector))
        return;
    if (change != Change::Sector && length == state.loggedLength &&
        std::memcmp(line, state.logged, length) == 0)
        return;
    std::memcpy(state.logged, line, length);
    state.loggedLength = length;
    if (change == Change::Sector)
        state.loggedSector = state.sector;
    state.logged[length] = '\n';
    state.out.write(state.logged, length + 1);
}

void draw(const char* text, Change change) {
    char line[1024];
    double percent = double(state.address) * 100.0 * 7.62939453125e-6;
    int n = std::snprintf(line, sizeof line, "\r%6.2f%% Sector %2d/63 addr=0x%06zX %s", percent, state.sector,
                          state.address, text);
    if (n < 0 || n > 1023)
        return;
    unsigned length = unsigned(n);
    if (!state.out.isTerminal()) {
        logStatus(line + 1, length - 1, change);
        return;
    }
    unsigned width = length;
    if (state.lastLength > length) {
        std::memset(line + length, ' ', state.lastLength - length);
        width = state.lastLength;
    }
    state.out.write(line, width);
    // Nothing is pending on a stream that was given up, so messages need not wipe it.
    state.lastLength = state.out.broken ? 0 : length;
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
    if (state.err.isTerminal())
        clearProgressLine(state.lastLength != 0 ? state.lastLength : 80);
    state.lastLength = 0;
    state.err.write(text.data(), text.size());
}

void printOut(TemporaryStringView text) {
    state.out.write(text.data(), text.size());
}

void print(const Buffer& buffer) {
    print(buffer.view());
}

void progress(const char* text) {
    draw(text, Change::Word);
}

void progressStep(StringView label) {
    state.label = label;
    state.detail = "";
    drawLabelAndDetail(Change::Step);
}

void progressSector(int sector, StringView label) {
    state.sector = sector;
    state.address = size_t(sector) * 2048;
    state.label = label;
    state.detail = "";
    drawLabelAndDetail(Change::Sector);
}

void progressDetail(StringView detail) {
    state.detail = detail;
    drawLabelAndDetail(Change::Detail);
}

void progressAddress(unsigned address, StringView detail) {
    state.address = address;
    state.detail = detail;
    drawLabelAndDetail(Change::Detail);
}

void progressRetry(unsigned attempt, unsigned attempts) {
    drawComposed(std::snprintf(state.text, sizeof state.text, "%s (retry %u of %u)", state.label.data(),
                               attempt, attempts),
                 Change::Word);
}

bool countdown(const char* label, int milliseconds) {
    if (RawIO::cancelRequested())
        return false;
    if (milliseconds <= 0)
        return true;
    TimeoutClock clock;
    // A log gets the first drawing only: one line per retry.
    Change change = Change::Word;
    for (long long left = clock.remaining(milliseconds); left != 0; left = clock.remaining(milliseconds)) {
        char text[128];
        int n = std::snprintf(text, sizeof text, "%s: %.1fs", label, double(left) / 1000.0);
        if (n >= 0 && n < int(sizeof text))
            draw(text, change);
        change = Change::Detail;
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

void reset(int stdoutFd, int stderrFd, Streams streams) {
    ::state.lastLength = 0;
    ::state.address = 0;
    ::state.sector = 0;
    ::state.label = "";
    ::state.detail = "";
    ::state.loggedLength = 0;
    ::state.loggedSector = -1;
    int terminal = streams == Streams::Terminals ? 1 : -1;
    ::state.out = Stream{stdoutFd, false, terminal};
    ::state.err = Stream{stderrFd, false, terminal};
}

} // namespace console::testing
