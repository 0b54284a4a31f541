#include "ModuleState.hpp"

#include "FirmwareIdentity.hpp"
#include "GeneratedContent.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + strerror(errno);
        return false;
    }
    bytes.clear();
    uint8_t chunk[65536];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + count);
    bool ok = ferror(file) == 0;
    fclose(file);
    if (!ok)
        error = path + ": read error";
    return ok;
}

bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::string temporary = path + ".tmp";
    FILE* file = fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        error = temporary + ": " + strerror(errno);
        return false;
    }
    // An empty vector may hold no buffer at all, and fwrite must not be given a null pointer.
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fflush(file) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        error = path + ": " + strerror(errno);
        unlink(temporary.c_str());
    }
    return ok;
}

static bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool ModuleState::load(const std::string& directory, std::string& error) {
    std::string flashPath = directory + "/flash.bin";
    std::string nvmPath = directory + "/nvm.bin";
    std::string nvrPath = directory + "/nvr.bin";
    if (exists(flashPath)) {
        if (!readWholeFile(flashPath, flash, error))
            return false;
        if (flash.size() != FLASH_SIZE) {
            error = flashPath + ": not " + std::to_string(FLASH_SIZE) + " bytes";
            return false;
        }
    } else {
        flash.assign(FLASH_SIZE, 0xFF);
        flashDirty = true;
    }
    if (exists(nvmPath)) {
        if (!readWholeFile(nvmPath, nvm, error))
            return false;
    } else {
        nvm.clear();
        nvmDirty = true;
    }
    if (exists(nvrPath)) {
        if (!readWholeFile(nvrPath, nvr, error))
            return false;
        if (nvr.size() != NVR_SIZE) {
            error = nvrPath + ": not " + std::to_string(NVR_SIZE) + " bytes";
            return false;
        }
    } else {
        nvr = defaultNvr();
        if (!writeWholeFile(nvrPath, nvr, error))
            return false;
    }
    return true;
}

bool ModuleState::save(const std::string& directory, std::string& error, bool everything) {
    if ((flashDirty || everything) && !writeWholeFile(directory + "/flash.bin", flash, error))
        return false;
    flashDirty = false;
    if ((nvmDirty || everything) && !writeWholeFile(directory + "/nvm.bin", nvm, error))
        return false;
    nvmDirty = false;
    if (everything && !writeWholeFile(directory + "/nvr.bin", nvr, error))
        return false;
    return true;
}

} // namespace emu
