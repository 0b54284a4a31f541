#include "../support/FlasherFixture.hpp"

#include <csignal>
#include <vector>

namespace {

using Bytes = ProgrammingPeer::Bytes;
using Command = ProgrammingPeer::Command;

constexpr uint8_t ENABLE = 0xac;
constexpr uint8_t CHECK_STATE = 0x7f;
constexpr uint8_t ERASE = 0x0b;
constexpr uint8_t WRITE_SRAM = 0x04;
constexpr uint8_t CONTINUE_WRITE = 0x80;
constexpr uint8_t WRITE_FLASH = 0x20;
constexpr uint8_t CRC = 0xc3;

Bytes erasedImage() {
    return Bytes(FLASH_SIZE, 0xFF);
}

// An image with a little data in a few sectors, so that a whole run stays quick.
Bytes sparseImage() {
    Bytes image = erasedImage();
    for (unsigned sector : {0u, 5u, 17u, 63u})
        for (size_t i = 0; i < 40; ++i)
            image[sector * SECTOR_SIZE + 30 + i] = uint8_t(sector + i);
    return image;
}

View viewOf(const Bytes& bytes) {
    return View(bytes.data(), bytes.size());
}

class FlashWriteTest : public FlasherFixture {
protected:
    std::vector<unsigned> sramOffsets() {
        std::vector<unsigned> offsets;
        for (const Command& c : peer.commands())
            if (c[0] == WRITE_SRAM)
                offsets.push_back(unsigned(c[1]) << 8 | c[2]);
        return offsets;
    }
    Bytes flashSector(unsigned sector) {
        Bytes flash = peer.flashContents();
        return Bytes(flash.begin() + sector * SECTOR_SIZE, flash.begin() + (sector + 1) * SECTOR_SIZE);
    }
};

struct SectorShape {
    const char* what;
    std::vector<std::pair<size_t, uint8_t>> bytes; // offset in the sector, value; the rest stays 0xFF
    bool fullSector;                               // every byte non-erased instead
    std::vector<unsigned> sramOffsets;
    size_t continueWrites;
    size_t sectorWrites;
};

TEST_F(FlashWriteTest, SectorShapesCostTheExpectedCommands) {
    const SectorShape shapes[] = {
        {"an erased sector is only erased", {}, false, {}, 0, 0},
        {"one byte at 100 is one write-SRAM and a sector write", {{100, 0x42}}, false, {100}, 0, 1},
        {"a full sector leaves one byte to go alone", {}, true, {0, 1}, 682, 2},
        {"data at 10..14 sends 10 alone, then 11 and one group",
         {{10, 1}, {11, 2}, {12, 3}, {13, 4}, {14, 5}},
         false,
         {10, 11},
         1,
         2},
        {"an erased byte in the single-byte phase sends nothing",
         {{10, 1}, {12, 3}, {13, 4}, {14, 0xFF}, {15, 6}},
         false,
         {10, 12},
         1,
         2},
    };
    Flasher& flasher = enabledFlasher();
    const unsigned sector = 3;
    for (const SectorShape& shape : shapes) {
        SCOPED_TRACE(shape.what);
        Bytes image = erasedImage();
        uint8_t* base = image.data() + sector * SECTOR_SIZE;
        if (shape.fullSector)
            for (size_t i = 0; i < SECTOR_SIZE; ++i)
                base[i] = uint8_t(i % 251); // 0xFF only inside, never at either end
        for (auto [offset, value] : shape.bytes)
            base[offset] = value;
        peer.clearCommands();
        FlashJob job{&flasher, viewOf(image), sector};
        EXPECT_TRUE(flasher.writeSector(job));
        EXPECT_EQ(peer.count(ERASE, sector), 1u);
        EXPECT_EQ(sramOffsets(), shape.sramOffsets);
        EXPECT_EQ(peer.count(CONTINUE_WRITE), shape.continueWrites);
        EXPECT_EQ(peer.count(WRITE_FLASH, sector), shape.sectorWrites);
        EXPECT_EQ(flashSector(sector), Bytes(base, base + SECTOR_SIZE));
    }
    EXPECT_EQ(messages(), "");
}

TEST_F(FlashWriteTest, OneByteAtOffset100IsSentAsItsOwnCommand) {
    Flasher& flasher = enabledFlasher();
    Bytes image = erasedImage();
    image[2 * SECTOR_SIZE + 100] = 0x42;
    EXPECT_TRUE(flasher.writeSectorData(viewOf(image), 2));
    std::vector<Command> sent;
    for (const Command& c : peer.commands())
        if (c[0] != CHECK_STATE)
            sent.push_back(c);
    EXPECT_EQ(sent, (std::vector<Command>{{0x04, 0x00, 0x64, 0x42}, {0x20, 0x02, 0xff, 0xff}}));
}

TEST_F(FlashWriteTest, AFailedSectorIsRetriedAloneAfterARestart) {
    Flasher& flasher = enabledFlasher();
    bool failed = false;
    peer.setFault([&failed](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == ERASE && c[1] == 5 && !failed) {
            failed = true;
            return Bytes{0x0b, 0x05, 0x00, 0x00};
        }
        return std::nullopt;
    });
    Bytes image = sparseImage();
    EXPECT_TRUE(flasher.flash(viewOf(image), 2));
    for (unsigned sector = 0; sector < SECTOR_COUNT; ++sector)
        EXPECT_EQ(peer.count(ERASE, uint8_t(sector)), sector == 5 ? 2u : 1u) << "sector " << sector;
    EXPECT_EQ(peer.count(ENABLE), 1u);
    EXPECT_EQ(peer.count(CRC), 1u);
    EXPECT_NE(console.stdoutText().find("Retrying sector in"), std::string::npos);
    EXPECT_EQ(messages(), "Response: <0b 05 00 00>\nExpected: <0b 05 ff ff>\n\n");
    EXPECT_EQ(peer.flashContents(), image);
    EXPECT_TRUE(lastStatus().ends_with(" Done"));
}

TEST_F(FlashWriteTest, ARunFailingItsCrcCheckIsWrittenAgainFromSectorZero) {
    Flasher& flasher = enabledFlasher();
    peer.queueCrcVerdicts({0x04, 0x02});
    Bytes image = sparseImage();
    EXPECT_TRUE(flasher.flash(viewOf(image), 2));
    for (unsigned sector = 0; sector < SECTOR_COUNT; ++sector)
        EXPECT_EQ(peer.count(ERASE, uint8_t(sector)), 2u) << "sector " << sector;
    EXPECT_EQ(peer.count(CRC), 2u);
    EXPECT_EQ(peer.count(ENABLE), 1u);
    std::string out = console.stdoutText();
    EXPECT_NE(out.find("CRC check failed"), std::string::npos);
    EXPECT_NE(out.find("Retrying in"), std::string::npos);
    EXPECT_EQ(peer.flashContents(), image);
}

TEST_F(FlashWriteTest, ASectorGivesUpWhenTheRestartFailsFiveTimes) {
    Flasher& flasher = enabledFlasher();
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == ERASE)
            return Bytes{0x0b, 0x00, 0x00, 0x00};
        if (c[0] == ENABLE)
            return Bytes{0xac, 0x53, 0xaa, 0x00};
        return std::nullopt;
    });
    Bytes image = sparseImage();
    EXPECT_FALSE(flasher.flash(viewOf(image), 0));
    EXPECT_FALSE(flasher.isEnabled());
    EXPECT_EQ(peer.count(ERASE), 1u);
    EXPECT_EQ(peer.count(ENABLE), 5u * 11u);
    EXPECT_EQ(occurrences(messages(), "Expected: <ac 53 aa 55>"), 5u);
    EXPECT_NE(console.stdoutText().find("Retrying chip restart in: 0.3s"), std::string::npos);
    EXPECT_EQ(peer.count(CRC), 0u);
}

TEST_F(FlashWriteTest, AStuckSectorEraseIsLeftToTheSectorRetry) {
    flasher::testing::setBusyLimits({100, 500});
    Flasher& flasher = enabledFlasher();
    bool stuck = false, once = false;
    peer.setFault([&stuck, &once](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == ERASE && c[1] == 2 && !once)
            stuck = once = true;
        else if (c[0] != CHECK_STATE)
            stuck = false;
        if (stuck && c[0] == CHECK_STATE)
            return Bytes{0x7f, 0xfe, 0x00, 0x08};
        return std::nullopt;
    });
    Bytes image = sparseImage();
    EXPECT_TRUE(flasher.flash(viewOf(image), 0));
    EXPECT_EQ(peer.count(ERASE, 2), 2u);
    EXPECT_NE(messages().find("Error: Flash state machine still busy after 100 ms\n"), std::string::npos);
    EXPECT_EQ(peer.flashContents(), image);
}

TEST_F(FlashWriteTest, ShortImagesAreRefused) {
    Flasher& flasher = enabledFlasher();
    Bytes image(FLASH_SIZE - 1, 0x00);
    EXPECT_FALSE(flasher.flash(viewOf(image), 2));
    EXPECT_TRUE(peer.commands().empty());
    EXPECT_NE(messages().find("too small"), std::string::npos);
}

TEST_F(FlashWriteTest, CrcCheckBusyTwiceThenPassed) {
    Flasher& flasher = enabledFlasher();
    peer.queueStates({0x08, 0x08});
    TimeoutClock clock;
    EXPECT_TRUE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 2000);
    EXPECT_EQ(peer.count(CHECK_STATE), 3u);
    EXPECT_TRUE(lastStatus().ends_with(" Done"));
    EXPECT_EQ(messages(), "");
}

TEST_F(FlashWriteTest, CrcCheckFailedOrUndecided) {
    Flasher& flasher = enabledFlasher();
    peer.queueCrcVerdicts({0x04});
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_TRUE(lastStatus().ends_with(" CRC check failed"));

    peer.queueCrcVerdicts({0x00});
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_EQ(messages(), "CRC check neither failed nor succeeded\n");
}

TEST_F(FlashWriteTest, ACrcCheckThatStaysBusyFailsAfterTheLimit) {
    flasher::testing::setBusyLimits({2000, 500});
    Flasher& flasher = enabledFlasher();
    peer.queueCrcVerdicts({0x08});
    TimeoutClock clock;
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_EQ(messages(), " Sent: <7f fe 00 00>\nRecvd: <7f fe 00 08>\n"
                          "Error: CRC check still busy after 500 ms\n");
}

TEST_F(FlashWriteTest, CancellationEndsTheCrcWaitAtOnce) {
    RawIO::installCancelHandlers();
    Flasher& flasher = enabledFlasher();
    peer.queueCrcVerdicts({0x08});
    peer.setFault([](const Command& c, size_t) -> std::optional<Bytes> {
        if (c[0] == CHECK_STATE)
            raise(SIGINT);
        return std::nullopt;
    });
    TimeoutClock clock;
    EXPECT_FALSE(flasher.crcCheck());
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(peer.count(CHECK_STATE), 1u);
}

} // namespace
