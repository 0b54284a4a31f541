// The console as no end-to-end run sees it: the status line on a terminal, a stream that stalls
// or fails, and a retry cancelled before its countdown.
#include "rawio/Cancel.hpp"
#include "rawio/TimeoutClock.hpp"
#include "util/Console.hpp"

#include "support/ConsoleCapture.hpp"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What `output` writes when stdout and stderr are terminals, run in a child process so that the
// console's end at exit is seen too.
std::pair<std::string, std::string> onTerminals(void (*output)()) {
    ConsoleCapture console(console::testing::Streams::Terminals);
    std::fflush(nullptr); // the child's exit flushes what it inherited
    pid_t child = fork();
    if (child == 0) {
        output();
        exit(0);
    }
    waitpid(child, nullptr, 0);
    return {console.stdoutText(), console.stderrText()};
}

std::string wipe(unsigned width) {
    return "\r" + std::string(width, ' ') + "\r";
}

// The status line is drawn in place and padded over a longer one; a message wipes it first, as
// wide as it was (80 columns when none was drawn); one left pending at exit gets its newline.
TEST(ConsoleTerminal, StatusLineInPlaceMessagesWipeItAndExitEndsIt) {
    auto [out, err] = onTerminals([] {
        logLine("first");
        progress("a twenty-four char text");
        progress("Done");
        logLine("n=", 5u, " bytes ", View(reinterpret_cast<const uint8_t*>("\x01\xab"), 2));
        progress("Done");
    });
    const std::string line = "\r  0.00% Sector  0/63 addr=0x000000 ";
    EXPECT_EQ(out, line + "a twenty-four char text" + line + "Done" + std::string(19, ' ') + line + "Done");
    EXPECT_EQ(err, wipe(80) + "first\n" + wipe(40) + "n=5 bytes <01 ab>\n\n");
    // A run whose last output was a message adds nothing.
    EXPECT_EQ(onTerminals([] { logLine("last"); }).second, wipe(80) + "last\n");
}

// Output is advice: a stream that stalls (a terminal paused with ^S) or fails (a reader that went
// away) is given up after about 100 ms, and later output to it returns at once.
TEST(ConsoleStreams, AStalledOrFailedStreamIsGivenUpWithoutStoppingTheCaller) {
    int master = -1, slave = -1, err[2];
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr) | pipe2(err, O_NONBLOCK), 0);
    ASSERT_EQ(tcflow(slave, TCOOFF), 0); // the slave's output is stopped, as by ^S
    console::testing::reset(slave, err[1]);

    TimeoutClock clock;
    progress("Working");
    EXPECT_GE(clock.elapsed(), 90);
    EXPECT_LT(clock.elapsed(), 3000); // a hang guard; a blocking write would never return
    TimeoutClock later;
    for (int i = 0; i < 50; ++i)
        progress("Still working");
    EXPECT_LT(later.elapsed(), 1000); // fifty more stalls would take five seconds

    // A reader that went away: the write fails with EPIPE (SIGPIPE ignored) and nothing throws.
    signal(SIGPIPE, SIG_IGN);
    close(err[0]);
    EXPECT_NO_THROW(logLine("into a closed pipe"));
    EXPECT_NO_THROW(logLine("and another"));
    console::testing::reset();
    signal(SIGPIPE, SIG_DFL);
    for (int fd : {master, slave, err[1]})
        close(fd);
}

bool failCounting(int& calls) {
    ++calls;
    return false;
}

// A cancel ends a retry at once: no countdown, no further attempt, and the last word says so. (The
// countdown's wait and the number of attempts show in the flash rows' traces.)
TEST(ConsoleRetry, ACancelEndsTheRetryAtOnce) {
    ConsoleCapture console;
    RawIO::installCancelHandlers();
    raise(SIGINT);
    int calls = 0;
    TimeoutClock clock;
    EXPECT_FALSE(retry(Function::bind<int, failCounting>(calls), 4, "Retrying in", 2000));
    EXPECT_LT(clock.elapsed(), 1900); // less than one countdown
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(emutest::lastStatusWord(console.stdoutText()), "Cancelled");
    RawIO::testing::clearCancellation();
    signal(SIGINT, SIG_DFL);
}

} // namespace
