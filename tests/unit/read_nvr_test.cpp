#include "../support/FlasherFixture.hpp"

#include <algorithm>

namespace {

using Bytes = ProgrammingPeer::Bytes;
using Command = ProgrammingPeer::Command;

constexpr uint8_t READ_NVR = 0xf2;

class ReadNVRTest : public FlasherFixture {};

TEST_F(ReadNVRTest, ReadsAllBytesOneCommandEach) {
    Flasher& flasher = enabledFlasher();
    uint8_t into[NVR_SIZE];
    View nvr = flasher.readNVR(into);
    ASSERT_EQ(nvr.size(), NVR_SIZE);
    EXPECT_EQ(nvr.data(), into);
    EXPECT_EQ(Bytes(nvr.begin(), nvr.end()), peer.nvrContents());
    std::vector<Command> sent = peer.commands();
    ASSERT_EQ(sent.size(), NVR_SIZE);
    EXPECT_EQ(sent[200], (Command{0xf2, 0x00, 200, 0xff}));
    EXPECT_EQ(messages(), "");
}

TEST_F(ReadNVRTest, ALateAnswerForThePreviousAddressIsRejected) {
    Flasher& flasher = enabledFlasher();
    bool late = false;
    peer.setFault([&late](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[2] == 8 && !late) {
            late = true;
            return Bytes{0xf2, 0x00, 0x07, 0x99};
        }
        return std::nullopt;
    });
    uint8_t into[NVR_SIZE];
    View nvr = flasher.readNVR(into);
    ASSERT_EQ(nvr.size(), NVR_SIZE);
    EXPECT_EQ(Bytes(nvr.begin(), nvr.end()), peer.nvrContents());
    EXPECT_EQ(peer.count(READ_NVR), NVR_SIZE + 1);
    EXPECT_EQ(messages(), " Sent: <f2 00 08 ff>\nRecvd: <f2 00 07 99>\n");
}

TEST_F(ReadNVRTest, AModuleThatStopsAnsweringLeavesAnEmptyResultAndTheBytesRead) {
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[2] >= 100)
            return Bytes{};
        return std::nullopt;
    });
    uint8_t into[NVR_SIZE];
    std::fill(std::begin(into), std::end(into), 0xEE);
    View nvr = flasher.readNVR(into);
    EXPECT_TRUE(nvr.empty());
    EXPECT_EQ(nvr.data(), nullptr);
    EXPECT_EQ(Bytes(into, into + 100), Bytes(peer.nvrContents().begin(), peer.nvrContents().begin() + 100));
    EXPECT_TRUE(std::all_of(into + 100, std::end(into), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(peer.count(READ_NVR, 0x00), 104u);
    EXPECT_EQ(occurrences(messages(), " Sent: <f2 00 64 ff>\nRecvd: <>\n"), 4u);
}

TEST_F(ReadNVRTest, ABufferOfTwoHundredFiftyFiveBytesIsRefused) {
    Flasher& flasher = enabledFlasher();
    uint8_t into[NVR_SIZE - 1];
    EXPECT_TRUE(flasher.readNVR(into).empty());
    usleep(20000);
    EXPECT_TRUE(peer.commands().empty());
    EXPECT_EQ(messages(), "Buffer too small for readNVR()\n");
}

} // namespace
