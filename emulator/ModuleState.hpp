#pragma once
// The module's persistent memories as plain files in a state directory: flash.bin (131072 bytes),
// nvm.bin (the NVM, any size) and nvr.bin (256 bytes). Missing files start as an erased flash, an
// empty NVM and a generated NVR page.
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct ModuleState {
    std::vector<uint8_t> flash;
    std::vector<uint8_t> nvm;
    std::vector<uint8_t> nvr;
    bool flashDirty = false;
    bool nvmDirty = false;

    bool load(const std::string& directory, std::string& error);
    // Writes the changed files (all of them with `everything`), each through a temporary file and a
    // rename so that a reader never sees half a file.
    bool save(const std::string& directory, std::string& error, bool everything = false);
};

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

} // namespace emu
