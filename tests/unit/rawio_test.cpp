// The timed I/O under the chip's tty, for what the emulator's pty never does: deliver a reply in
// pieces at chosen moments, hang up, fail a write, be interrupted by a signal at a chosen point of
// a wait or find its time already spent; and the edges no run reaches on its own: a name that
// ends before its array does and the errno that decides the retry after an export.
#include "rawio/Cancel.hpp"
#include "rawio/DescriptorIO.hpp"
#include "rawio/Exception.hpp"
#include "rawio/ReadBuffer.hpp"
#include "rawio/Status.hpp"
#include "rawio/TimeoutClock.hpp"
#include "util/View.hpp"

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

struct Channel {
    FileDescriptor reader, writer;

    Channel() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        reader = FileDescriptor(fds[0]), writer = FileDescriptor(fds[1]);
    }
    void send(const Bytes& bytes) const {
        ASSERT_EQ(write(writer.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
};

// The errno and text of the exception a call raised; 0 and "" when it raised none.
std::pair<int, std::string> raisedBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const RawIO::Exception& e) {
        return {e.error, e.what()};
    }
    return {0, ""};
}

// Discarding drops what is buffered and everything pending, more than one read's worth. A hung-up
// peer keeps the descriptor readable with end of file: the drain must end there (a hang ends as a
// failure at the test's timeout). The peer's end goes with its last owner.
TEST(ReadBuffer, DiscardDropsBufferedAndPendingInputAndEndsAtEndOfFile) {
    Channel channel;
    ReadBuffer buffer;
    channel.send({1, 2});
    EXPECT_EQ(buffer.readByte(channel.reader, 5000), std::make_pair(uint8_t(1), true));
    channel.send(Bytes(5000, 0x55));
    buffer.discard(channel.reader);
    int pending = -1;
    EXPECT_EQ(ioctl(channel.reader.get(), FIONREAD, &pending), 0);
    EXPECT_EQ(std::pair(buffer.empty(), pending), std::pair(true, 0));
    int peer = channel.writer.get();
    { FileDescriptor last(std::move(channel.writer)); }
    EXPECT_EQ(std::pair(channel.writer.get(), fcntl(peer, F_GETFD)), std::pair(-1, -1));
    buffer.discard(channel.reader);
}

// A non-blocking tty behaves like a blocking one for a writer: a full descriptor is waited out; a
// tty that went away fails the write with its errno, not a silent short write. A read whose time
// is spent takes nothing and leaves what is pending to the next.
TEST(DescriptorIO, WritesWaitOutAFullDescriptorOrFailWithTheirErrno) {
    Channel channel;
    fcntl(channel.writer.get(), F_SETFL, O_NONBLOCK);
    Bytes bytes(300000, 0xA5);
    size_t received = 0;
    std::thread reader([&] {
        uint8_t chunk[4096];
        for (ssize_t n; received < bytes.size() && (n = read(channel.reader.get(), chunk, sizeof chunk)) > 0;)
            received += size_t(n);
    });
    EXPECT_TRUE(RawIO::writeFully(channel.writer.get(), bytes.data(), bytes.size()));
    reader.join();
    EXPECT_EQ(received, bytes.size());

    channel.send({'a', 'b'});
    char got[4];
    EXPECT_EQ(RawIO::readAtLeast(channel.reader.get(), got, 1, sizeof got, 0), 0u);
    EXPECT_EQ(RawIO::readAtLeast(channel.reader.get(), got, 2, sizeof got, 1000), 2u);
    EXPECT_EQ(std::string(got, 2), "ab");
    channel.reader = FileDescriptor();
    auto previous = signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(raisedBy([&] { RawIO::writeFully(channel.writer.get(), "x", 1); }),
              std::make_pair(EPIPE, std::string("IO-Error on write()")));
    signal(SIGPIPE, previous);
}

// A signal ends a blocked wait with EINTR; once it came, no wait begins, or a run cancelled
// between two reads would go on to the end of its job.
TEST(Cancellation, ASignalEndsTheWaitItInterruptsAndEveryLaterOne) {
    RawIO::installCancelHandlers();
    for (int signal : {SIGINT, SIGTERM}) {
        RawIO::testing::clearCancellation();
        Channel channel;
        pthread_t self = pthread_self();
        std::thread killer([&] {
            usleep(20 * 1000);
            pthread_kill(self, signal);
        });
        uint8_t buf[1];
        TimeoutClock clock;
        EXPECT_EQ(raisedBy([&] { RawIO::readWithTimeout(channel.reader.get(), buf, 1, 5000); }),
                  std::make_pair(EINTR, std::string("IO-Error on poll()")));
        killer.join();
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_TRUE(RawIO::cancelRequested());
        // A second Ctrl-C finds the handler in place: a one-shot handler would let it kill the tool
        // mid-job with the reset line left exported.
        pthread_kill(self, signal);
        EXPECT_TRUE(RawIO::cancelRequested());

        channel.send({0x42});
        for (int timeoutMs : {0, 1000})
            EXPECT_THROW(RawIO::readWithTimeout(channel.reader.get(), buf, 1, timeoutMs), RawIO::Exception);
        EXPECT_THROW(RawIO::readAtLeast(channel.reader.get(), buf, 1, 1, 1000), RawIO::Exception);
        EXPECT_THROW(RawIO::discardInput(channel.reader.get()), RawIO::Exception);
        RawIO::testing::clearCancellation();
        EXPECT_EQ(RawIO::readWithTimeout(channel.reader.get(), buf, 1, 1000), 1u) << "the byte stays";
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// A name in a fixed array (a device name, a buffer filled by a call) ends at its text, not at the
// array's end: the bytes after it would be printed too.
TEST(StringView, AnArrayEndsAtItsText) {
    char name[16] = "abc";
    EXPECT_EQ(StringView(name).size(), 3u);
    EXPECT_EQ(StringView("tarnwick").size(), 8u);
}

// EPERM as well as EACCES is the refusal a fresh export gives until udev has set the rights: the
// export is retried on it.
TEST(Descriptors, EpermIsARefusalOfTheGpioFiles) {
    EXPECT_EQ(RawIO::statusFromErrno(EPERM, RawIO::WriteFailed), RawIO::PermissionDenied);
}

} // namespace
