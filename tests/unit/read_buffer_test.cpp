#include "rawio/Exception.hpp"
#include "rawio/ReadBuffer.hpp"
#include "rawio/TimeoutClock.hpp"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Channel {
    FileDescriptor reader;
    FileDescriptor writer;

    static Channel pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
    }
    static Channel socketPair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
    }

    void send(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(::write(writer.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    int pending() const {
        int count = -1;
        EXPECT_EQ(::ioctl(reader.get(), FIONREAD, &count), 0);
        return count;
    }
};

std::vector<uint8_t> counting(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(first + i);
    return bytes;
}

std::vector<uint8_t> bytesOf(View view) {
    return std::vector<uint8_t>(view.begin(), view.end());
}

void preload(ReadBuffer& buffer, const std::vector<uint8_t>& bytes) {
    std::memcpy(buffer.data, bytes.data(), bytes.size());
    buffer.begin = 0;
    buffer.end = bytes.size();
}

TEST(ReadBuffer, ServesBufferedBytesWithoutTouchingTheDescriptor) {
    Channel channel = Channel::pipe();
    channel.send({0xee, 0xee});
    ReadBuffer buffer;
    preload(buffer, counting(10));

    uint8_t into[4];
    Span got = buffer.read(channel.reader, Span(into), 100);
    EXPECT_EQ(got.data(), into);
    EXPECT_EQ(bytesOf(got), counting(4));
    EXPECT_EQ(buffer.begin, 4u);
    EXPECT_EQ(buffer.end, 10u);
    EXPECT_EQ(channel.pending(), 2);

    // The single-byte paths take from the buffer too.
    EXPECT_EQ(buffer.takeByte(), std::make_pair(uint8_t(4), true));
    EXPECT_EQ(buffer.readByte(channel.reader, 100), std::make_pair(uint8_t(5), true));
    EXPECT_EQ(channel.pending(), 2);

    EXPECT_TRUE(buffer.read(channel.reader, Span(), 100).empty());
    EXPECT_EQ(buffer.begin, 6u);
    EXPECT_EQ(channel.pending(), 2);
}

TEST(ReadBuffer, KeepsTheSurplusOfARefill) {
    Channel channel = Channel::socketPair();
    ReadBuffer buffer;
    preload(buffer, {0xa0, 0xa1, 0xa2});
    channel.send(counting(20));

    uint8_t into[8];
    Span got = buffer.read(channel.reader, Span(into), 100);
    EXPECT_EQ(bytesOf(got), (std::vector<uint8_t>{0xa0, 0xa1, 0xa2, 0, 1, 2, 3, 4}));
    EXPECT_EQ(buffer.begin, 5u);
    EXPECT_EQ(buffer.end, 20u);

    // Taking exactly what is left empties the buffer back to index 0.
    uint8_t rest[15];
    EXPECT_EQ(bytesOf(buffer.read(channel.reader, Span(rest), 100)), counting(15, 5));
    EXPECT_EQ(buffer.begin, 0u);
    EXPECT_EQ(buffer.end, 0u);
}

TEST(ReadBuffer, ReadsLargeRequestsDirectlyAndSmallerOnesThroughTheBuffer) {
    Channel channel = Channel::pipe();
    ReadBuffer buffer;
    channel.send(counting(1600));
    std::vector<uint8_t> large(1500);
    Span got = buffer.read(channel.reader, Span(large.data(), large.size()), 200);
    EXPECT_EQ(got.size(), 1500u);
    EXPECT_EQ(bytesOf(got), counting(1500));
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(channel.pending(), 100);
    buffer.discard(channel.reader);

    channel.send(counting(1100));
    std::vector<uint8_t> half(1024);
    got = buffer.read(channel.reader, Span(half.data(), half.size()), 200);
    EXPECT_EQ(bytesOf(got), counting(1024));
    EXPECT_EQ(buffer.begin, 1024u);
    EXPECT_EQ(buffer.end, 1100u);
    EXPECT_EQ(channel.pending(), 0);
}

TEST(ReadBuffer, AssemblesPiecesThatArriveApart) {
    Channel channel = Channel::socketPair();
    ReadBuffer buffer;
    std::thread sender([&] {
        channel.send({1, 2});
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        channel.send({3, 4, 5, 6, 7});
    });
    uint8_t into[6];
    Span got = buffer.read(channel.reader, Span(into), 1000);
    sender.join();
    EXPECT_EQ(bytesOf(got), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(buffer.end - buffer.begin, 1u);
    EXPECT_EQ(buffer.takeByte(), std::make_pair(uint8_t(7), true));
}

TEST(ReadBuffer, TimeoutGivesAShortResultAndNoError) {
    Channel channel = Channel::pipe();
    ReadBuffer buffer;
    channel.send({9, 8, 7});
    uint8_t into[8];
    TimeoutClock clock;
    Span got = buffer.read(channel.reader, Span(into), 50);
    long long spent = clock.elapsed();
    EXPECT_EQ(bytesOf(got), (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_GE(spent, 49);
    EXPECT_LT(spent, 500);
    EXPECT_TRUE(buffer.empty());

    clock = TimeoutClock();
    EXPECT_EQ(buffer.readByte(channel.reader, 30), std::make_pair(uint8_t(0), false));
    EXPECT_GE(clock.elapsed(), 29);
    EXPECT_TRUE(buffer.empty());
    channel.send({1});
    EXPECT_EQ(buffer.takeByte(), std::make_pair(uint8_t(0), false)) << "takeByte never reads";
    EXPECT_EQ(channel.pending(), 1);
}

TEST(ReadBuffer, ReadByteRefillsWithEverythingPending) {
    Channel channel = Channel::pipe();
    ReadBuffer buffer;
    channel.send(counting(7, 0x40));
    EXPECT_EQ(buffer.readByte(channel.reader, 100), std::make_pair(uint8_t(0x40), true));
    EXPECT_EQ(buffer.begin, 1u);
    EXPECT_EQ(buffer.end, 7u);
    EXPECT_EQ(channel.pending(), 0);
}

TEST(ReadBuffer, DiscardDropsBufferedAndPendingInput) {
    Channel channel = Channel::pipe();
    ReadBuffer buffer;
    preload(buffer, counting(5));
    channel.send(counting(3000));
    buffer.discard(channel.reader);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(channel.pending(), 0);
}

TEST(ReadBuffer, ReadErrorsPassThroughAndLeaveTheBufferEmpty) {
    FileDescriptor directory(::open("/", O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(directory.valid());
    ReadBuffer buffer;
    uint8_t into[4];
    try {
        buffer.read(directory, Span(into), 100);
        FAIL() << "no exception";
    } catch (const RawIO::Exception& e) {
        EXPECT_EQ(e.error, EISDIR);
        EXPECT_STREQ(e.what(), "IO-Error on read()");
    }
    EXPECT_TRUE(buffer.empty());
    EXPECT_THROW(buffer.readByte(directory, 100), RawIO::Exception);
    EXPECT_TRUE(buffer.empty());
}

} // namespace
