#include "zwave/Frame.hpp"
#include "zwave/ProtocolVersion.hpp"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<uint8_t> bytesOf(const Frame& frame) {
    return std::vector<uint8_t>(frame.data, frame.data + frame.size);
}

Frame received(std::vector<uint8_t> bytes) {
    Frame frame = Frame::empty();
    std::copy(bytes.begin(), bytes.end(), frame.data);
    frame.size = uint32_t(bytes.size());
    return frame;
}

TEST(Frame, RequestsAreByteExact) {
    const uint8_t open[] = {0x00};
    const uint8_t callback[] = {0x07};
    EXPECT_EQ(bytesOf(Frame::makeRequest(0x15, View())),
              (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x15, 0xe9}));
    EXPECT_EQ(bytesOf(Frame::makeRequest(0x08, View())),
              (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x08, 0xf4}));
    EXPECT_EQ(bytesOf(Frame::makeRequest(0x2E, open)),
              (std::vector<uint8_t>{0x01, 0x04, 0x00, 0x2e, 0x00, 0xd5}));
    EXPECT_EQ(bytesOf(Frame::makeRequest(0x42, callback)),
              (std::vector<uint8_t>{0x01, 0x04, 0x00, 0x42, 0x07, 0xbe}));
}

TEST(Frame, BuilderZeroesTheRestAndRefusesAnOversizedPayload) {
    uint8_t payload[253];
    std::fill(std::begin(payload), std::end(payload), 0xAA);
    Frame largest = Frame::makeRequest(0x2E, View(payload, 252));
    EXPECT_EQ(largest.size, 257u);
    EXPECT_EQ(largest.data[1], 255);
    EXPECT_EQ(largest.data[257], 0);
    EXPECT_TRUE(largest.hasGoodChecksum());

    Frame small = Frame::makeRequest(0x15, View());
    for (size_t i = small.size; i < Frame::CAPACITY; ++i)
        ASSERT_EQ(small.data[i], 0) << i;

    EXPECT_EQ(Frame::makeRequest(0x2E, View(payload, 253)).size, 0u);
}

TEST(Frame, ChecksumJudgesEveryBit) {
    Frame reply = received(
        {0x01, 0x10, 0x01, 0x15, 'Z', '-', 'W', 'a', 'v', 'e', ' ', '4', '.', '6', '1', 0x00, 0x01, 0x95});
    EXPECT_TRUE(reply.hasGoodChecksum());
    for (size_t i = 0; i < reply.size; ++i)
        for (int bit = 0; bit < 8; ++bit) {
            Frame changed = reply;
            changed.data[i] ^= uint8_t(1 << bit);
            EXPECT_FALSE(changed.hasGoodChecksum()) << i << ':' << bit;
        }
}

TEST(ProtocolVersion, ParsesTheVersionReply) {
    Frame reply = received(
        {0x01, 0x10, 0x01, 0x15, 'Z', '-', 'W', 'a', 'v', 'e', ' ', '4', '.', '6', '1', 0x00, 0x01, 0x95});
    ProtocolVersion version = ProtocolVersion::fromFrame(reply);
    EXPECT_EQ(version.text(), StringView("Z-Wave 4.61"));
    EXPECT_EQ(version.libraryType(), 1);
    EXPECT_EQ(libraryTypeName(version), StringView("Static controller library"));
    // The names the tool prints for known types show in the end-to-end runs.
    for (uint8_t type : {0, 8, 200})
        EXPECT_EQ(libraryTypeName(ProtocolVersion("x", 1, type)), StringView("Unknown library type")) << type;
}

TEST(ProtocolVersion, ShortRepliesGiveTheEmptyVersion) {
    for (size_t size : {0u, 1u, 4u, 5u, 6u}) {
        Frame reply = received({0x01, 0x04, 0x01, 0x15, 0x41, 0x07, 0x00});
        reply.size = uint32_t(size);
        ProtocolVersion version = ProtocolVersion::fromFrame(reply);
        EXPECT_EQ(version.length(), 0) << size;
        EXPECT_EQ(version.libraryType(), 0) << size;
    }
    ProtocolVersion typeOnly =
        ProtocolVersion::fromFrame(received({0x01, 0x05, 0x01, 0x15, 0x00, 0x07, 0xed}));
    EXPECT_EQ(typeOnly.length(), 0);
    EXPECT_EQ(typeOnly.libraryType(), 7);
}

TEST(ProtocolVersion, LongTextsKeepTwentyFourChars) {
    std::vector<uint8_t> bytes = {0x01, 0x00, 0x01, 0x15};
    for (int i = 0; i < 30; ++i)
        bytes.push_back(uint8_t('a' + i % 26));
    bytes.insert(bytes.end(), {0x00, 0x07, 0x00});
    bytes[1] = uint8_t(bytes.size() - 2);
    ProtocolVersion version = ProtocolVersion::fromFrame(received(bytes));
    EXPECT_EQ(version.length(), 24);
    EXPECT_EQ(version.text(), StringView("abcdefghijklmnopqrstuvwx"));
    EXPECT_EQ(version.libraryType(), 7);

    const char* thirty = "0123456789012345678901234567890";
    EXPECT_EQ(ProtocolVersion(thirty, 30, 1).text(), StringView("012345678901234567890123"));
    EXPECT_EQ(ProtocolVersion(thirty, -1, 1).length(), 24);
    EXPECT_EQ(ProtocolVersion(thirty, 3, 1).text(), StringView("012"));
}

} // namespace
