#include "FirmwareIdentity.hpp"
#include "GeneratedContent.hpp"
#include "IntelHex.hpp"
#include "util/crc32.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace emu;

namespace {

FirmwareIdentity identity462() {
    FirmwareIdentity identity;
    identity.version = "Z-Wave 4.62";
    identity.libraryType = 1;
    identity.nvmSize = 16384;
    identity.recipeSeed = 42;
    return identity;
}

} // namespace

TEST(Firmware, GeneratedImageBootsAsTheFirmwareItNames) {
    std::vector<uint8_t> flash = makeFirmwareImage(identity462(), 50000);
    ASSERT_EQ(flash.size(), FLASH_SIZE);
    Result crc = toBigEndian(crc32(flash.data(), CRC_OFFSET));
    EXPECT_TRUE(std::equal(crc.bytes, crc.bytes + 4, flash.begin() + CRC_OFFSET));
    std::optional<FirmwareIdentity> identity = identifyFlash(flash);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->version, "Z-Wave 4.62");
    EXPECT_EQ(identity->libraryType, 1);
    EXPECT_EQ(identity->nvmSize, 16384u);
    // Filler code up to the size asked for, erased after it.
    EXPECT_NE(std::count(flash.begin(), flash.begin() + 50000, 0xFF), 50000);
    EXPECT_EQ(std::count(flash.begin() + 50000, flash.begin() + IDENTITY_ADDRESS, 0xFF),
              IDENTITY_ADDRESS - 50000);
}

TEST(Firmware, DamagedFlashOrMissingRecordDoesNotBoot) {
    std::vector<uint8_t> flash = makeFirmwareImage(identity462(), 4096);
    flash[1000] ^= 0x01;
    EXPECT_FALSE(identifyFlash(flash)) << "CRC must catch one flipped bit";
    std::vector<uint8_t> noRecord(FLASH_SIZE, 0xFF);
    storeFlashCrc(noRecord);
    EXPECT_TRUE(flashCrcPasses(noRecord));
    EXPECT_FALSE(identifyFlash(noRecord));
    // A record whose own CRC is wrong is no record, even when the flash CRC is right.
    std::vector<uint8_t> badRecord = makeFirmwareImage(identity462(), 4096);
    badRecord[IDENTITY_ADDRESS + 12] ^= 0x20;
    storeFlashCrc(badRecord);
    EXPECT_FALSE(identifyFlash(badRecord));
}

TEST(Firmware, IntelHexRoundTripsWithExtendedAddressesAndCorrectChecksums) {
    std::vector<uint8_t> flash = makeFirmwareImage(identity462(), 70000);
    for (unsigned recordSize : {16u, 32u}) {
        std::string text = writeIntelHex(flash, recordSize);
        std::istringstream lines(text);
        size_t extended = 0;
        for (std::string line; std::getline(lines, line);) {
            ASSERT_EQ(line[0], ':');
            unsigned sum = 0;
            for (size_t i = 1; i + 1 < line.size(); i += 2)
                sum += std::stoul(line.substr(i, 2), nullptr, 16);
            EXPECT_EQ(sum & 0xFF, 0u) << line;
            unsigned count = std::stoul(line.substr(1, 2), nullptr, 16);
            if (line.substr(7, 2) == "00") {
                EXPECT_EQ(count, recordSize) << line;
            }
            extended += line.substr(7, 2) == "04" ? 1 : 0;
        }
        EXPECT_EQ(extended, 1u) << "one switch to the upper 64 KiB";
        std::vector<uint8_t> back;
        std::string error;
        ASSERT_TRUE(readIntelHex(text, FLASH_SIZE, back, error)) << error;
        EXPECT_EQ(back, flash);
    }
}

TEST(Firmware, IntelHexReaderRejectsABadRecordChecksum) {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(readIntelHex(":0400000001020304F2\n:00000001FF\n", 16, image, error));
    EXPECT_EQ(image[3], 0x04);
    EXPECT_FALSE(readIntelHex(":0400000001020304F3\n", 16, image, error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
}
