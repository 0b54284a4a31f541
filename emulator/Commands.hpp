#pragma once
// The sub-commands of tarnwick-emu besides `serve`.
#include "FirmwareIdentity.hpp"

#include <string>

namespace emu {

struct MakeFirmwareOptions {
    FirmwareIdentity identity;
    size_t codeSize;
    unsigned recordSize = 32;
    std::string output;
};
bool makeFirmware(const MakeFirmwareOptions& options, std::string& error);

struct InitOptions {
    std::string stateDirectory;
    std::string firmware;     // Intel HEX, empty: erased flash
    bool populateNvm = false; // a static controller's NVM holding a network
    std::string nvmFile;      // an NVM image to start from
    std::string nvrFile;      // a 256-byte NVR page to start from
};
bool initState(const InitOptions& options, std::string& error);

} // namespace emu
