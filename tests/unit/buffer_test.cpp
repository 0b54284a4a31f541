#include "util/Buffer.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string text(const Buffer& b) {
    return std::string(b.data, b.size);
}

Buffer filledTo(unsigned size) {
    Buffer b;
    b.append(TemporaryStringView(std::string(size, 'x')));
    return b;
}

TEST(Buffer, TextAppendsFitWholeOrNotAtAll) {
    Buffer b = filledTo(767);
    EXPECT_EQ(b.size, 767u);
    EXPECT_FALSE(b.append('y'));
    EXPECT_EQ(b.size, 767u);

    Buffer c = filledTo(760);
    EXPECT_FALSE(c.append("12345678"));
    EXPECT_EQ(c.size, 760u);
    EXPECT_TRUE(c.append("1234567"));
    EXPECT_EQ(c.size, 767u);

    Buffer d;
    EXPECT_TRUE(d.append(static_cast<const char*>(nullptr)));
    EXPECT_EQ(d.size, 0u);
    EXPECT_TRUE(TemporaryStringView(static_cast<const char*>(nullptr)).empty());
}

TEST(Buffer, NumbersNeedRoomForTheFormattersTerminator) {
    Buffer full = filledTo(766);
    EXPECT_FALSE(full.append(5u));
    EXPECT_EQ(full.size, 766u);

    Buffer almost = filledTo(765);
    EXPECT_TRUE(almost.append(5u));
    EXPECT_EQ(almost.size, 766u);
    EXPECT_EQ(almost.data[765], '5');

    Buffer formats;
    formats.appendAll(-3, ' ', 4000000000u, ' ', -5L, ' ', 1.5f, ' ', 0.25);
    EXPECT_EQ(text(formats), "-3 4000000000 -5 1.5 0.25");
}

TEST(Buffer, HexDumps) {
    const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
    const uint8_t ten[] = {0x0A};
    const uint8_t pair[] = {0x00, 0x10};
    Buffer b;
    b.appendAll(View(bytes, 3), ' ', View(ten, 1), ' ', View(pair, 2), ' ', View());
    EXPECT_EQ(text(b), "<01 ab ff> <0a> <00 10> <>");

    Buffer at767 = filledTo(767);
    EXPECT_FALSE(at767.appendHex(View()));
    EXPECT_EQ(at767.size, 767u);

    for (View v : {View(), View(bytes, 3)}) {
        Buffer at766 = filledTo(766);
        EXPECT_FALSE(at766.appendHex(v));
        EXPECT_EQ(at766.size, 767u);
        EXPECT_EQ(at766.data[766], '<');
    }
}

TEST(Buffer, AppendAllStopsAtTheFirstValueThatDoesNotFit) {
    Buffer b;
    EXPECT_TRUE(b.appendAll("a", 5u, "b"));
    EXPECT_EQ(text(b), "a5b");

    Buffer c = filledTo(764);
    EXPECT_FALSE(c.appendAll("a", 123456u, "b"));
    EXPECT_EQ(c.size, 765u);
    EXPECT_EQ(c.data[764], 'a');
}

TEST(Buffer, QuotedEscapesQuoteAndEscape) {
    Buffer b;
    EXPECT_TRUE(b.appendQuoted("a\"b", '"', '\\'));
    EXPECT_EQ(text(b), "\"a\\\"b\"");

    Buffer e;
    EXPECT_TRUE(e.appendQuoted("", '\'', '\\'));
    EXPECT_EQ(text(e), "''");

    Buffer tight = filledTo(764);
    EXPECT_FALSE(tight.appendQuoted("abc", '"', '\\'));
}

} // namespace

// A view of a char array is the text it holds, not the array's capacity.
TEST(StringView, OfAFilledArrayStopsAtItsText) {
    char filled[16] = "abc";
    EXPECT_EQ(StringView(filled).size(), 3u);
    EXPECT_EQ(TemporaryStringView(filled).size(), 3u);
    Buffer line;
    ASSERT_TRUE(line.appendAll("[", StringView(filled), "]"));
    EXPECT_EQ(std::string(line.data, line.size), "[abc]");
    EXPECT_EQ(CStringLiteralView("Z-Wave").size(), 6u);
}
