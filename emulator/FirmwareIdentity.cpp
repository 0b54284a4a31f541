#include "FirmwareIdentity.hpp"

#include "Prng.hpp"
#include "util/crc32.hpp"

#include <algorithm>
#include <cstring>

namespace emu {

static const char MAGIC[8] = {'T', 'W', 'K', 'E', 'M', 'U', 'F', 'W'};
constexpr uint8_t FORMAT = 1;

static void putBigEndian(uint8_t* at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        at[i] = uint8_t(value >> (8 * (width - 1 - i)));
}

static uint32_t getBigEndian(const uint8_t* at, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | at[i];
    return value;
}

std::vector<uint8_t> encodeIdentity(const FirmwareIdentity& identity) {
    std::vector<uint8_t> record(IDENTITY_RECORD_SIZE, 0);
    memcpy(record.data(), MAGIC, sizeof MAGIC);
    record[8] = FORMAT;
    size_t length = std::min(identity.version.size(), MAX_VERSION_LENGTH);
    record[9] = uint8_t(length);
    memcpy(record.data() + 10, identity.version.data(), length);
    record[42] = identity.libraryType;
    putBigEndian(&record[43], identity.nvmSize, 4);
    record[47] = uint8_t(identity.recipe);
    putBigEndian(&record[48], identity.recipeSeed, 4);
    putBigEndian(&record[52], identity.recipeLength, 2);
    putBigEndian(&record[54], crc32(record.data(), 54), 4);
    return record;
}

std::optional<FirmwareIdentity> decodeIdentity(const uint8_t* record) {
    if (memcmp(record, MAGIC, sizeof MAGIC) != 0 || record[8] != FORMAT || record[9] > MAX_VERSION_LENGTH ||
        record[47] > uint8_t(NvmRecipe::Erased) || getBigEndian(&record[54], 4) != crc32(record, 54))
        return std::nullopt;
    FirmwareIdentity identity;
    identity.version.assign(reinterpret_cast<const char*>(record + 10), record[9]);
    identity.libraryType = record[42];
    identity.nvmSize = getBigEndian(&record[43], 4);
    identity.recipe = NvmRecipe(record[47]);
    identity.recipeSeed = getBigEndian(&record[48], 4);
    identity.recipeLength = uint16_t(getBigEndian(&record[52], 2));
    return identity;
}

bool flashCrcPasses(const std::vector<uint8_t>& flash) {
    return flash.size() == FLASH_SIZE &&
           crc32(flash.data(), CRC_OFFSET) == getBigEndian(&flash[CRC_OFFSET], 4);
}

void storeFlashCrc(std::vector<uint8_t>& flash) {
    putBigEndian(&flash[CRC_OFFSET], crc32(flash.data(), CRC_OFFSET), 4);
}

std::optional<FirmwareIdentity> identifyFlash(const std::vector<uint8_t>& flash) {
    if (!flashCrcPasses(flash))
        return std::nullopt;
    return decodeIdentity(&flash[IDENTITY_ADDRESS]);
}

std::vector<uint8_t> defaultNvm(const FirmwareIdentity& identity) {
    std::vector<uint8_t> nvm(identity.nvmSize, identity.recipe == NvmRecipe::Erased ? 0xFF : 0x00);
    if (identity.recipe == NvmRecipe::FreshController) {
        Prng prng(identity.recipeSeed);
        for (size_t i = 0; i < identity.recipeLength && i < nvm.size(); ++i)
            nvm[i] = prng.nextByte();
    }
    return nvm;
}

} // namespace emu
