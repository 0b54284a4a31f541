// The command line from any argument vector: the input's NUL bytes separate the arguments.
// A record that says it is valid must hold what the operations rely on.
#include "config/Configuration.hpp"
#include "support/VirtualModule.hpp"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::quietConsole();
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments = {"tarnwick"};
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        arguments.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    Configuration config(argv.data());
    if (config.valid) {
        // Each path view ends at a NUL in memory, so data() can go to open().
        for (StringView path :
             {config.ttyPath, config.hexPath, config.nvrPath, config.backupPath, config.restorePath})
            if (path.size() != 0 && path.data()[path.size()] != '\0')
                abort();
        if (config.ttyPath.size() == 0 || (config.migrateNvm && !config.bridge) ||
            (config.bridge && !(config.hexPath == BRIDGE_FIRMWARE_PATH)))
            abort();
        // Flashing and the NVR dump need the reset line, given or held from outside.
        bool resetLine = config.resetGpio != 0 || config.assumeResetPinAsserted;
        if ((config.hexPath.size() != 0 || config.nvrPath.size() != 0) && !resetLine)
            abort();
    }
    return 0;
}
