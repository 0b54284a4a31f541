#include "rawio/Cancel.hpp"
#include "rawio/Exception.hpp"
#include "rawio/Status.hpp"
#include "rawio/TimeoutClock.hpp"
#include "util/Console.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Console output redirected into two pipes for the duration of a test.
class ConsoleTest : public ::testing::Test {
protected:
    int out[2], err[2];
    void SetUp() override {
        ASSERT_EQ(pipe2(out, O_NONBLOCK), 0);
        ASSERT_EQ(pipe2(err, O_NONBLOCK), 0);
        fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
        fcntl(err[0], F_SETPIPE_SZ, 1 << 20);
        console::testing::reset(out[1], err[1], console::testing::Streams::Terminals);
        RawIO::testing::clearCancellation();
    }
    void TearDown() override {
        console::testing::reset();
        RawIO::testing::clearCancellation();
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
    }
    static std::string drain(int fd) {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            text.append(buf, size_t(n));
        return text;
    }
    std::string stdoutText() { return drain(out[0]); }
    std::string stderrText() { return drain(err[0]); }
    static std::string wipe(unsigned width) { return "\r" + std::string(width, ' ') + "\r"; }
};

TEST_F(ConsoleTest, StatusLineIsDrawnInPlaceAndPadsOverALongerPreviousLine) {
    progress("Done");
    std::string done = "\r  0.00% Sector  0/63 addr=0x000000 Done";
    EXPECT_EQ(done.size(), 40u);
    EXPECT_EQ(stdoutText(), done);

    progress("a twenty-four char text");
    EXPECT_EQ(console::testing::state().lastLength, 59u);
    stdoutText();
    progress("Done");
    EXPECT_EQ(stdoutText(), done + std::string(19, ' '));
    EXPECT_EQ(console::testing::state().lastLength, 40u);
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ConsoleTest, SectorAddressAndPercent) {
    progressSector(5, "Erasing");
    EXPECT_EQ(stdoutText(), "\r  7.81% Sector  5/63 addr=0x002800 Erasing ");
    progressAddress(6144, "SRAM");
    EXPECT_EQ(stdoutText(), "\r  4.69% Sector  5/63 addr=0x001800 Erasing SRAM");
    progressAddress(131072, "");
    EXPECT_NE(stdoutText().find("100.00%"), std::string::npos);
    progressStep("Erasing NVM");
    progressRetry(3, 32);
    std::string drawn = stdoutText();
    EXPECT_NE(drawn.find("Erasing NVM (retry 3 of 32)"), std::string::npos) << drawn;
}

TEST_F(ConsoleTest, MessagesWipeTheStatusLineFirst) {
    logLine("first");
    EXPECT_EQ(stderrText(), wipe(80) + "first\n");
    progress("Done");
    logLine("n=", 5u, " bytes ", View(reinterpret_cast<const uint8_t*>("\x01\xab"), 2));
    EXPECT_EQ(stderrText(), wipe(40) + "n=5 bytes <01 ab>\n");
    EXPECT_EQ(console::testing::state().lastLength, 0u);

    // A GPIO file's status line too, in the shape of the C library's error().
    progress("Done");
    EXPECT_FALSE(RawIO::reportStatus(RawIO::PermissionDenied, "/sys/class/gpio/export"));
    EXPECT_EQ(stderrText(),
              wipe(40) + program_invocation_name + ": /sys/class/gpio/export: Permission denied\n");
}

TEST_F(ConsoleTest, ClearProgressLineWidthLimit) {
    clearProgressLine(1001);
    EXPECT_EQ(stderrText(), "");
    clearProgressLine(1000);
    EXPECT_EQ(stderrText(), wipe(1000));
}

TEST_F(ConsoleTest, LogExceptionShapes) {
    try {
        throw RawIO::Exception(0, "file bigger than buffer");
    } catch (const RawIO::Exception& e) {
        logException(e);
    }
    try {
        throw RawIO::Exception(2, "IO-Error on open()");
    } catch (const RawIO::Exception& e) {
        logException(e);
    }
    try {
        throw std::runtime_error("plain");
    } catch (const std::exception& e) {
        logException(e);
    }
    EXPECT_EQ(stderrText(), wipe(80) + "file bigger than buffer\n" + wipe(80) + "IO-Error on open(): " +
                                std::string(strerror(2)) + " (errno = 2)\n" + wipe(80) + "plain\n");
}

TEST_F(ConsoleTest, LogExceptionRethrowsOnceCancelled) {
    RawIO::installCancelHandlers();
    raise(SIGTERM);
    ASSERT_TRUE(RawIO::cancelRequested());
    EXPECT_THROW(
        {
            try {
                throw RawIO::Exception(4, "IO-Error on poll()");
            } catch (const RawIO::Exception& e) {
                logException(e);
            }
        },
        RawIO::Exception);
    EXPECT_EQ(stderrText(), "");
}

struct Counter {
    int calls = 0;
    int succeedOn = 0; // 0: never
    int recoveries = 0;
    bool recoverResult = true;
    bool attempt() { return ++calls == succeedOn; }
    bool recover() {
        ++recoveries;
        return recoverResult;
    }
};

TEST_F(ConsoleTest, RetryRunsTheActionOncePlusRetriesWithACountdownBeforeEach) {
    Counter c;
    RetryContext context{Function::bind<Counter, &Counter::attempt>(c),
                         Function::bind<Counter, &Counter::recover>(c), 4, "Retrying in", 1};
    EXPECT_FALSE(retry(context));
    EXPECT_EQ(c.calls, 5);
    EXPECT_EQ(c.recoveries, 4);
    EXPECT_NE(stdoutText().find("Retrying in: 0.0s"), std::string::npos);

    Counter once;
    EXPECT_FALSE(retry(Function::bind<Counter, &Counter::attempt>(once), 0, "x", 1000));
    EXPECT_EQ(once.calls, 1);
    EXPECT_EQ(stdoutText(), "");

    Counter third{0, 3};
    EXPECT_TRUE(retry(Function::bind<Counter, &Counter::attempt>(third), 4, "x", 1));
    EXPECT_EQ(third.calls, 3);
}

TEST_F(ConsoleTest, RetryEndsWhenRecoveryFailsOrOnCancellation) {
    Counter c;
    c.recoverResult = false;
    EXPECT_FALSE(retry({Function::bind<Counter, &Counter::attempt>(c),
                        Function::bind<Counter, &Counter::recover>(c), 4, "Retrying in", 1}));
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.recoveries, 1);

    EXPECT_THROW(retry(RetryContext{}), std::bad_function_call);
    stdoutText();

    RawIO::installCancelHandlers();
    raise(SIGINT);
    EXPECT_FALSE(countdown("label", 0));
    EXPECT_EQ(stdoutText(), "");
    Counter cancelled;
    TimeoutClock clock;
    EXPECT_FALSE(retry(Function::bind<Counter, &Counter::attempt>(cancelled), 4, "Retrying in", 2000));
    EXPECT_LT(clock.elapsed(), 500);
    EXPECT_EQ(cancelled.calls, 1);
    EXPECT_NE(stdoutText().find("Cancelled"), std::string::npos);
}

TEST_F(ConsoleTest, CountdownShowsTenthsAndZeroReturnsAtOnce) {
    EXPECT_TRUE(countdown("Retrying in", 0));
    EXPECT_EQ(stdoutText(), "");
    TimeoutClock clock;
    EXPECT_TRUE(countdown("Retrying in", 100));
    EXPECT_GE(clock.elapsed(), 100);
    std::string drawn = stdoutText();
    EXPECT_NE(drawn.find("Retrying in: 0.1s"), std::string::npos);
    EXPECT_NE(drawn.find("Retrying in: 0.0s"), std::string::npos);
}

// A pipe or a log gets plain lines: one per step, per sector of a flash, per retry and per outcome,
// none for details and countdowns, no carriage returns, padding or wipes; the last word is the
// outcome, and nothing is added at exit.
TEST(ConsoleLog, StatusAsPlainLinesAndMessagesWithoutWipes) {
    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(err, O_NONBLOCK), 0);
    console::testing::reset(out[1], err[1]);
    progressStep("Opening chip");
    progressStep("Opening chip");
    for (int sector = 0; sector < 2; ++sector) {
        progressSector(sector, "Erasing");
        progressDetail("(Waiting for FMS)");
        progressSector(sector, "Writing");
        progressAddress(unsigned(sector) * 2048 + 5, "SRAM");
    }
    progressRetry(1, 4);
    EXPECT_TRUE(countdown("Retrying in", 20));
    logLine("a message");
    progressStep("Done");
    progress("Done");
    console::testing::reset();
    char text[4096] = {};
    ssize_t n = read(out[0], text, sizeof text - 1);
    EXPECT_EQ(std::string(text, n > 0 ? size_t(n) : 0),
              "  0.00% Sector  0/63 addr=0x000000 Opening chip\n"
              "  0.00% Sector  0/63 addr=0x000000 Erasing\n"
              "  1.56% Sector  1/63 addr=0x000800 Erasing\n"
              "  1.57% Sector  1/63 addr=0x000805 Writing (retry 1 of 4)\n"
              "  1.57% Sector  1/63 addr=0x000805 Retrying in: 0.0s\n"
              "  1.57% Sector  1/63 addr=0x000805 Done\n");
    n = read(err[0], text, sizeof text - 1);
    EXPECT_EQ(std::string(text, n > 0 ? size_t(n) : 0), "a message\n");
    for (int fd : {out[0], out[1], err[0], err[1]})
        close(fd);
}

// Output is advice: a stream that stalls (a terminal paused with ^S) or fails (a reader that went
// away) is given up after about 100 ms, and later output to it returns at once; the other stream
// goes on.
TEST(ConsoleStreams, AStalledOrFailedStreamIsGivenUpWithoutStoppingTheCaller) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(tcflow(slave, TCOOFF), 0); // the slave's output is stopped, as by ^S
    fcntl(master, F_SETFL, O_NONBLOCK);
    int err[2];
    ASSERT_EQ(pipe2(err, O_NONBLOCK), 0);
    console::testing::reset(slave, err[1]);

    TimeoutClock clock;
    progress("Working");
    EXPECT_GE(clock.elapsed(), 90);
    EXPECT_LT(clock.elapsed(), 3000); // a hang guard; a blocking write would never return
    TimeoutClock later;
    for (int i = 0; i < 50; ++i)
        progress("Still working");
    EXPECT_LT(later.elapsed(), 90);
    logLine("message");

    // A reader that went away: the write fails with EPIPE (SIGPIPE ignored) and nothing throws.
    signal(SIGPIPE, SIG_IGN);
    close(err[0]);
    EXPECT_NO_THROW(logLine("into a closed pipe"));
    EXPECT_NO_THROW(logLine("and another"));
    console::testing::reset();
    signal(SIGPIPE, SIG_DFL);

    // Nothing reached the stopped terminal after it was given up, even once it is resumed.
    ASSERT_EQ(tcflow(slave, TCOON), 0);
    char seen[4096];
    ssize_t n = read(master, seen, sizeof seen);
    EXPECT_TRUE(n <= 0 || std::string(seen, size_t(n)).find("Still") == std::string::npos);
    for (int fd : {master, slave, err[1]})
        close(fd);
}

// The status line pending at exit is ended by one newline on stderr; a run whose last output was
// a message adds nothing.
std::string stderrAtExitAfter(bool endWithMessage) {
    int err[2];
    EXPECT_EQ(pipe(err), 0);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        console::testing::reset(devnull, err[1], console::testing::Streams::Terminals);
        progress("Working");
        if (endWithMessage)
            logLine("last");
        exit(0);
    }
    close(err[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(err[0]);
    waitpid(child, nullptr, 0);
    return text;
}

TEST(ConsoleExit, PendingStatusLineGetsItsNewline) {
    EXPECT_EQ(stderrAtExitAfter(false), "\n");
    std::string withMessage = stderrAtExitAfter(true);
    EXPECT_EQ(withMessage.substr(withMessage.size() - 5), "last\n");
    EXPECT_EQ(withMessage.find('\n'), withMessage.size() - 1);
}

} // namespace
