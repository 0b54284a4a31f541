#include "rawio/Cancel.hpp"
#include "rawio/DescriptorIO.hpp"
#include "rawio/Exception.hpp"
#include "rawio/FileDescriptor.hpp"
#include "rawio/Status.hpp"
#include "rawio/TimeoutClock.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Pipe {
    FileDescriptor in, out;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        in = FileDescriptor(fds[0]);
        out = FileDescriptor(fds[1]);
    }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(out.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
};

// The words themselves show in the GPIO error lines (tests/unit/pin_test.cpp).
TEST(Status, ErrnoMappingAndWordsOutOfRange) {
    EXPECT_STREQ(RawIO::statusText(RawIO::Status(11)), "");
    EXPECT_STREQ(RawIO::statusText(RawIO::Status(-2)), "");
    EXPECT_EQ(RawIO::statusFromErrno(EIO, RawIO::WriteFailed), RawIO::WriteFailed);
    EXPECT_EQ(RawIO::statusFromErrno(EACCES, RawIO::Unclassified), RawIO::PermissionDenied);
    EXPECT_EQ(RawIO::statusFromErrno(EPERM, RawIO::Unclassified), RawIO::PermissionDenied);
    EXPECT_EQ(RawIO::statusFromErrno(ENOENT, RawIO::ReadFailed), RawIO::DoesNotExist);
    EXPECT_EQ(RawIO::statusFromErrno(ENOMEM, RawIO::ReadFailed), RawIO::OutOfMemory);
    EXPECT_EQ(RawIO::statusFromErrno(EBUSY, RawIO::Unclassified), RawIO::Unclassified);
    EXPECT_EQ(RawIO::statusFromErrno(0, RawIO::PollFailed), RawIO::PollFailed);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(RawIO::reportStatus(RawIO::OK, "/x"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(FileDescriptor, MovedFromOwnsNothing) {
    Pipe p;
    int raw = p.in.get();
    FileDescriptor moved(std::move(p.in));
    EXPECT_EQ(p.in.get(), -1);
    EXPECT_EQ(moved.get(), raw);
    { FileDescriptor gone(std::move(moved)); }
    EXPECT_EQ(fcntl(raw, F_GETFD), -1); // closed exactly once, by the last owner
}

TEST(DescriptorIO, ReadAtLeastStopsAtTheFirstCountReachingTheMinimum) {
    Pipe p;
    std::thread writer([&] {
        p.send({1, 2});
        usleep(10000);
        p.send({3, 4, 5, 6, 7});
    });
    uint8_t buf[16];
    EXPECT_EQ(RawIO::readAtLeast(p.in.get(), buf, 4, 16, 1000), 7u);
    writer.join();
    EXPECT_EQ(buf[6], 7);
}

TEST(DescriptorIO, ReadAtLeastTimesOutAndZeroTimeoutTouchesNothing) {
    Pipe p;
    uint8_t buf[4];
    TimeoutClock clock;
    EXPECT_EQ(RawIO::readAtLeast(p.in.get(), buf, 4, 4, 50), 0u);
    EXPECT_GE(clock.elapsed(), 45);
    p.send({9});
    EXPECT_EQ(RawIO::readAtLeast(p.in.get(), buf, 1, 4, 0), 0u);
    EXPECT_EQ(RawIO::readWithTimeout(p.in.get(), buf, 4, 0), 1u); // the byte was not consumed
    EXPECT_EQ(RawIO::readAtLeast(-1, buf, 1, 4, 0), 0u);          // not even polled
}

TEST(DescriptorIO, ReadWithTimeoutReturnsOneReadsWorth) {
    Pipe p;
    uint8_t buf[8];
    EXPECT_EQ(RawIO::readWithTimeout(p.in.get(), buf, 8, 10), 0u);
    p.send({1, 2, 3});
    EXPECT_EQ(RawIO::readWithTimeout(p.in.get(), buf, 8, 10), 3u);
}

TEST(DescriptorIO, DiscardInputDrainsInChunksAndStopsAtEndOfFile) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    FileDescriptor a(fds[0]), b(fds[1]);
    std::vector<uint8_t> bytes(5000, 0x55);
    ASSERT_TRUE(RawIO::writeFully(b.get(), bytes.data(), bytes.size()));
    usleep(1000);
    RawIO::discardInput(a.get());
    uint8_t byte;
    EXPECT_EQ(RawIO::readWithTimeout(a.get(), &byte, 1, 0), 0u);

    // A hung-up peer keeps the descriptor readable with end of file: the drain must end.
    b = FileDescriptor();
    RawIO::discardInput(a.get());
}

TEST(DescriptorIO, WriteFullyWaitsOutAFullNonBlockingPipe) {
    Pipe p;
    fcntl(p.out.get(), F_SETFL, O_NONBLOCK);
    std::vector<uint8_t> bytes(300000, 0xA5);
    size_t received = 0;
    std::thread reader([&] {
        uint8_t buf[4096];
        while (received < bytes.size()) {
            ssize_t n = read(p.in.get(), buf, sizeof buf);
            if (n <= 0)
                break;
            received += size_t(n);
        }
    });
    EXPECT_TRUE(RawIO::writeFully(p.out.get(), bytes.data(), bytes.size()));
    reader.join();
    EXPECT_EQ(received, bytes.size());
    EXPECT_TRUE(RawIO::writeFully(-1, bytes.data(), 0)); // nothing to write: no system call
}

TEST(DescriptorIO, ErrorsCarryErrnoAndTheOperation) {
    uint8_t buf[1];
    try {
        RawIO::readOrThrow(-1, buf, 1);
        FAIL();
    } catch (const RawIO::Exception& e) {
        EXPECT_EQ(e.error, EBADF);
        EXPECT_STREQ(e.what(), "IO-Error on read()");
    }
    EXPECT_THROW(RawIO::writeFully(-1, buf, 1), RawIO::Exception);
}

TEST(Cancellation, ASignalTurnsABlockedPollIntoAnExceptionWithEINTR) {
    RawIO::installCancelHandlers();
    for (int signal : {SIGINT, SIGTERM}) {
        RawIO::testing::clearCancellation();
        Pipe p;
        pthread_t self = pthread_self();
        std::thread killer([&] {
            usleep(20000);
            pthread_kill(self, signal);
        });
        uint8_t buf[1];
        try {
            RawIO::readWithTimeout(p.in.get(), buf, 1, 5000);
            ADD_FAILURE() << "poll was not interrupted";
        } catch (const RawIO::Exception& e) {
            EXPECT_EQ(e.error, EINTR);
            EXPECT_STREQ(e.what(), "IO-Error on poll()");
        }
        killer.join();
        EXPECT_TRUE(RawIO::cancelRequested());
        raise(signal); // a second signal changes nothing
        EXPECT_TRUE(RawIO::cancelRequested());
    }
    RawIO::testing::clearCancellation();
}

// A signal that came while no wait was blocked interrupted nothing; the next wait must not begin,
// or a run that is cancelled between two reads would go on to the end of its job.
TEST(Cancellation, NoWaitBeginsAfterASignalThatInterruptedNothing) {
    RawIO::installCancelHandlers();
    for (int signal : {SIGINT, SIGTERM}) {
        RawIO::testing::clearCancellation();
        Pipe p;
        p.send({0x42});
        raise(signal);
        uint8_t buf[1];
        for (int timeoutMs : {0, 1000}) {
            try {
                RawIO::readWithTimeout(p.in.get(), buf, 1, timeoutMs);
                ADD_FAILURE() << "a cancelled run read on";
            } catch (const RawIO::Exception& e) {
                EXPECT_EQ(e.error, EINTR);
            }
        }
        EXPECT_THROW(RawIO::readAtLeast(p.in.get(), buf, 1, 1, 1000), RawIO::Exception);
        EXPECT_THROW(RawIO::discardInput(p.in.get()), RawIO::Exception);
    }
    RawIO::testing::clearCancellation();
    // Without a cancellation the byte is still there.
    Pipe p;
    p.send({0x42});
    uint8_t buf[1];
    EXPECT_EQ(RawIO::readWithTimeout(p.in.get(), buf, 1, 1000), 1u);
}

} // namespace
