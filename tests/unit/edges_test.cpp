// Edges no run reaches on its own: the last character of a message line, a read whose time is
// already spent, a tty write that fails, and the errno that decides the retry after an export.
#include "rawio/DescriptorIO.hpp"
#include "rawio/Exception.hpp"
#include "rawio/Status.hpp"
#include "util/Buffer.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

Buffer filledTo(unsigned size) {
    Buffer buffer;
    EXPECT_TRUE(buffer.append(std::string(size, 'x').c_str()));
    return buffer;
}

TEST(LineBuffer, EveryKindOfValueFitsWholeUpToItsLastCharacterOrNotAtAll) {
    struct Row {
        const char* name;
        unsigned end; // a number leaves the last byte to the formatter's NUL
        bool (*append)(Buffer&);
        std::string text;
        bool partial; // a dump that does not fit may keep what it appended
    } rows[] = {
        {"text", Buffer::LIMIT, [](Buffer& b) { return b.append("abc"); }, "abc", false},
        {"char", Buffer::LIMIT, [](Buffer& b) { return b.append('z'); }, "z", false},
        {"int", Buffer::LIMIT - 1, [](Buffer& b) { return b.append(-1234); }, "-1234", false},
        {"unsigned long", Buffer::LIMIT - 1, [](Buffer& b) { return b.append(999ul); }, "999", false},
        {"hex", Buffer::LIMIT,
         [](Buffer& b) {
             static const uint8_t two[] = {0x01, 0xab};
             return b.appendHex(TemporaryView(two, 2));
         },
         "<01 ab>", true},
        {"quoted", Buffer::LIMIT, [](Buffer& b) { return b.appendQuoted("a\"b", '"', '\\'); }, "\"a\\\"b\"",
         true},
    };
    for (const Row& row : rows) {
        unsigned before = row.end - unsigned(row.text.size());
        Buffer fits = filledTo(before);
        EXPECT_TRUE(row.append(fits)) << row.name;
        EXPECT_EQ(std::string(fits.view().data(), fits.size), std::string(before, 'x') + row.text)
            << row.name;
        Buffer full = filledTo(before + 1);
        EXPECT_FALSE(row.append(full)) << row.name;
        EXPECT_LE(full.size, Buffer::LIMIT) << row.name;
        if (!row.partial) {
            EXPECT_EQ(full.size, before + 1) << row.name;
        }
    }
}

TEST(LineBuffer, AppendAllStopsAtTheFirstValueThatDoesNotFit) {
    Buffer line = filledTo(700);
    std::string path(80, 'p');
    EXPECT_FALSE(line.appendAll("cannot read HEX file '", path.c_str(), "'"));
    EXPECT_EQ(std::string(line.view().data() + 700, line.size - 700), "cannot read HEX file '");
}

TEST(Descriptors, ASpentReadLeavesPendingBytesAndAFailedWriteKeepsItsErrno) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "ab", 2), 2);
    char got[4];
    EXPECT_EQ(RawIO::readAtLeast(fds[0], got, 1, sizeof got, 0), 0u);
    EXPECT_EQ(RawIO::readAtLeast(fds[0], got, 2, sizeof got, 1000), 2u);
    EXPECT_EQ(std::string(got, 2), "ab");

    // A tty that went away fails the write with its errno, not a silent short write.
    close(fds[0]);
    auto previous = signal(SIGPIPE, SIG_IGN);
    try {
        RawIO::writeFully(fds[1], "x", 1);
        ADD_FAILURE() << "a write into a closed pipe succeeded";
    } catch (const RawIO::Exception& e) {
        EXPECT_EQ(e.error, EPIPE);
        EXPECT_STREQ(e.what(), "IO-Error on write()");
    }
    signal(SIGPIPE, previous);
    close(fds[1]);
}

TEST(Descriptors, RefusalsOfTheGpioFilesMapToTheirWords) {
    // EPERM as well as EACCES is the refusal a fresh export gives until udev has set the rights.
    EXPECT_STREQ(RawIO::statusText(RawIO::statusFromErrno(EPERM, RawIO::WriteFailed)), ": Permission denied");
    EXPECT_EQ(RawIO::statusFromErrno(EACCES, RawIO::WriteFailed), RawIO::PermissionDenied);
    EXPECT_EQ(RawIO::statusFromErrno(ENOENT, RawIO::WriteFailed), RawIO::DoesNotExist);
    EXPECT_EQ(RawIO::statusFromErrno(ENOMEM, RawIO::WriteFailed), RawIO::OutOfMemory);
    EXPECT_EQ(RawIO::statusFromErrno(EIO, RawIO::WriteFailed), RawIO::WriteFailed);
}

} // namespace
