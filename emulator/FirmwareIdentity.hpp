#pragma once
// What an emulator firmware image says about itself: a record at a fixed flash address that names
// the version text and library type the Serial API reports, the NVM size and how the firmware's
// default (empty network) NVM looks. The emulator boots only a flash whose CRC passes and that
// holds a valid record.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu {

constexpr size_t FLASH_SIZE = 131072;
constexpr size_t SECTOR_SIZE = 2048;
constexpr size_t SECTOR_COUNT = 64;
constexpr size_t CRC_OFFSET = FLASH_SIZE - 4;
constexpr size_t IDENTITY_ADDRESS = 0x1F800;
constexpr size_t IDENTITY_RECORD_SIZE = 58;
constexpr size_t MAX_VERSION_LENGTH = 31;

enum class NvmRecipe : uint8_t {
    Zeros = 0,           // every byte zero
    FreshController = 1, // `recipeLength` pseudo-random bytes from `recipeSeed`, zeros after
    Erased = 2,          // every byte 0xFF
};

struct FirmwareIdentity {
    std::string version; // e.g. "Z-Wave 4.62", at most 31 characters
    uint8_t libraryType = 0;
    uint32_t nvmSize = 16384;
    NvmRecipe recipe = NvmRecipe::FreshController;
    uint32_t recipeSeed = 0;
    uint16_t recipeLength = 64;
};

// The record's bytes (IDENTITY_RECORD_SIZE), with its own CRC at the end.
std::vector<uint8_t> encodeIdentity(const FirmwareIdentity& identity);
std::optional<FirmwareIdentity> decodeIdentity(const uint8_t* record);

// CRC-32/MPEG-2 of bytes 0..131067 against bytes 131068..131071, most significant first.
bool flashCrcPasses(const std::vector<uint8_t>& flash);
void storeFlashCrc(std::vector<uint8_t>& flash);

// The identity of the firmware that boots from `flash`, or nothing when the CRC fails or there is
// no valid record.
std::optional<FirmwareIdentity> identifyFlash(const std::vector<uint8_t>& flash);

// The NVM content the firmware starts a new network with (after set default or a layout change).
std::vector<uint8_t> defaultNvm(const FirmwareIdentity& identity);

} // namespace emu
