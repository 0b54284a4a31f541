#include "GeneratedContent.hpp"

#include "Prng.hpp"

#include <algorithm>

namespace emu {

std::vector<uint8_t> makeFirmwareImage(const FirmwareIdentity& identity, size_t codeSize) {
    std::vector<uint8_t> flash(FLASH_SIZE, 0xFF);
    codeSize = std::min(codeSize, IDENTITY_ADDRESS);
    Prng prng(seedFromText(identity.version.c_str()) ^ identity.libraryType);
    for (size_t i = 0; i < codeSize; ++i)
        flash[i] = prng.nextByte();
    // An 8051 reset vector (LJMP) in front, as real images begin.
    if (codeSize >= 3) {
        flash[0] = 0x02;
        flash[1] = 0x01;
        flash[2] = 0x00;
    }
    std::vector<uint8_t> record = encodeIdentity(identity);
    std::copy(record.begin(), record.end(), flash.begin() + IDENTITY_ADDRESS);
    storeFlashCrc(flash);
    return flash;
}

std::vector<uint8_t> populatedStaticNvm(const PopulatedNvmShape& shape) {
    std::vector<uint8_t> nvm(shape.size, 0);
    uint32_t last = std::min<uint32_t>(shape.lastContentOffset, shape.size - 1);
    nvm[0] = uint8_t(shape.lastContentOffset >> 8);
    nvm[1] = uint8_t(shape.lastContentOffset);
    nvm[2] = uint8_t(shape.secondLength >> 8);
    nvm[3] = uint8_t(shape.secondLength);
    Prng prng(shape.seed);
    for (uint32_t i = 4; i <= last; ++i)
        nvm[i] = prng.nextByte();
    // The last content byte is never zero, so the content's end is visible in the image.
    if (nvm[last] == 0)
        nvm[last] = 0xA5;
    return nvm;
}

std::vector<uint8_t> defaultNvr(uint32_t seed) {
    std::vector<uint8_t> nvr(NVR_SIZE, 0xFF);
    Prng prng(seed);
    // Calibration and factory data in the first part, the rest unprogrammed.
    for (size_t i = 0; i < 0x60; ++i)
        nvr[i] = prng.nextByte();
    return nvr;
}

} // namespace emu
