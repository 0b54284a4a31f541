// The frame reader and the Serial API link fed by a module byte stream: start-up with a soft
// reset, the version query, a bare receive loop and the erase, on one connection.
#include "support/VirtualModule.hpp"
#include "zwave/Chip.hpp"
#include "zwave/SerialAPI.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::runOnModule(data, size, ChipMode::Run, [](uint8_t choice, Chip& chip) {
        SerialAPI serialAPI(chip, (choice & 1) != 0, (choice & 2) != 0);
        if (choice & 4) {
            Frame frame = serialAPI.receive(1500);
            if (frame.size > Frame::CAPACITY || (frame.size == 2) ||
                (frame.isDataFrame() && frame.size != uint32_t(frame.data[1]) + 2))
                abort();
        }
        ProtocolVersion version = serialAPI.getVersion();
        (void)version;
        if (choice & 8)
            serialAPI.eraseNVM(choice >> 4);
        if (choice & 16)
            serialAPI.drain(200);
    });
}
