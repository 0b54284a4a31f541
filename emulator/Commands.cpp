#include "Commands.hpp"

#include "GeneratedContent.hpp"
#include "IntelHex.hpp"
#include "ModuleState.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace emu {

bool makeFirmware(const MakeFirmwareOptions& options, std::string& error) {
    std::vector<uint8_t> image = makeFirmwareImage(options.identity, options.codeSize);
    std::string text = writeIntelHex(image, options.recordSize);
    return writeWholeFile(options.output, std::vector<uint8_t>(text.begin(), text.end()), error);
}

bool initState(const InitOptions& options, std::string& error) {
    if (mkdir(options.stateDirectory.c_str(), 0755) != 0 && errno != EEXIST) {
        error = options.stateDirectory + ": " + strerror(errno);
        return false;
    }
    ModuleState state;
    state.flash.assign(FLASH_SIZE, 0xFF);
    state.nvr = defaultNvr();
    if (!options.firmware.empty()) {
        std::vector<uint8_t> text;
        if (!readWholeFile(options.firmware, text, error))
            return false;
        if (!readIntelHex(std::string(text.begin(), text.end()), FLASH_SIZE, state.flash, error)) {
            error = options.firmware + ": " + error;
            return false;
        }
        // As the tool's own HEX reader does, the last four bytes always carry the CRC.
        storeFlashCrc(state.flash);
    }
    std::optional<FirmwareIdentity> identity = identifyFlash(state.flash);
    if (options.populateNvm)
        state.nvm = populatedStaticNvm();
    else if (!options.nvmFile.empty() && !readWholeFile(options.nvmFile, state.nvm, error))
        return false;
    else if (options.nvmFile.empty() && identity)
        state.nvm = defaultNvm(*identity);
    if (!options.nvrFile.empty()) {
        if (!readWholeFile(options.nvrFile, state.nvr, error))
            return false;
        if (state.nvr.size() != NVR_SIZE) {
            error = options.nvrFile + ": not 256 bytes";
            return false;
        }
    }
    return state.save(options.stateDirectory, error, true);
}

} // namespace emu
