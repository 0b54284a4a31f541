// The frame reader and the Serial API link fed by a module byte stream: start-up with a soft
// reset, the version query, a bare receive loop and the erase, on one connection.
#include "rawio/Exception.hpp"
#include "support/VirtualModule.hpp"
#include "zwave/Chip.hpp"
#include "zwave/SerialAPI.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::quietConsole();
    if (size == 0)
        return 0;
    // The first byte chooses the options and the commands; the rest is the module's stream.
    const uint8_t choice = data[0];
    fuzzing::VirtualModule module(data + 1, size - 1);
    Chip chip(fuzzing::VirtualModule::ttyPath(), ChipMode::Run);
    if (!chip.isUsable())
        abort();
    module.attach(chip.tty.get());
    try {
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
    } catch (const RawIO::Exception&) {
    }
    return 0;
}
