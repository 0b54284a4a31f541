// Converts a static-controller NVM image file to the bridge layout with the tool's own conversion;
// the demo compares the module's NVM with it.
#include "rawio/Exception.hpp"
#include "rawio/Files.hpp"
#include "zwave/BridgeMigration.hpp"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: nvm-convert STATIC_IMAGE BRIDGE_IMAGE\n");
        return 2;
    }
    static uint8_t source[65536], target[65536];
    try {
        View converted = convertToBridge(RawIO::readFile(argv[1], Span(source)), Span(target));
        if (converted.empty()) {
            std::fprintf(stderr, "nvm-convert: the image is not accepted for conversion\n");
            return 1;
        }
        RawIO::writeFile(argv[2], converted);
    } catch (const RawIO::Exception& e) {
        std::fprintf(stderr, "nvm-convert: %s: %s\n", e.what(), e.errorText());
        return 1;
    }
    return 0;
}
