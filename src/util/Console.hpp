#pragma once
// The one live status line on stdout (percent, sector, address, step), message lines on stderr
// that wipe it first, countdowns, the retry loop and the report of a caught exception.
#include "rawio/Exception.hpp"
#include "util/Buffer.hpp"
#include "util/Function.hpp"

#include <cerrno>
#include <exception>

void print(TemporaryStringView text);
void print(const Buffer& buffer);
// Plain text on stdout (the help text, the version): no status line, no wipe.
void printOut(TemporaryStringView text);

// One message line on stderr, composed from the values with Buffer::appendAll.
template <typename... Values> void logLine(const Values&... values) {
    Buffer line;
    line.appendAll(values...);
    line.data[line.size++] = '\n';
    print(line);
}

// One message line in the shape of the C library's error(): the program's name, ": ", the values.
template <typename... Values> void logProgramLine(const Values&... values) {
    logLine(program_invocation_name, ": ", values...);
}

void clearProgressLine(unsigned width);
void progress(const char* text);
void progressStep(StringView label);
void progressSector(int sector, StringView label);
void progressDetail(StringView detail);
void progressAddress(unsigned address, StringView detail);
void progressRetry(unsigned attempt, unsigned attempts);

// Counts down on the status line; false when cancellation was requested.
bool countdown(const char* label, int milliseconds);

bool retry(RetryContext context);
bool retry(Function action, unsigned retries, const char* label, int delayMs);

// Report a caught exception as one line; re-throws the exception being handled when the run
// was cancelled, so that it reaches the entry. Call only from inside a handler.
void logException(const RawIO::Exception& e);
void logException(const std::exception& e);

namespace console::testing {
// Tests only: the status state and the descriptors the console writes to.
struct State {
    unsigned lastLength;
    unsigned address;
    int sector;
};
State state();
// `Terminals` makes the console treat both descriptors as terminals, whatever they are.
enum class Streams { AsOpened, Terminals };
void reset(int stdoutFd = 1, int stderrFd = 2, Streams streams = Streams::AsOpened);
} // namespace console::testing
