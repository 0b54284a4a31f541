// The NVM backup and restore exchanges fed by a module byte stream: open, read or write chunks,
// close, with the replies of a module that may lie about sizes, offsets and status.
#include "zwave/NVM.hpp"
#include "support/VirtualModule.hpp"
#include "zwave/Chip.hpp"
#include "zwave/SerialAPI.hpp"

#include <cstdlib>
#include <exception>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::runOnModule(data, size, ChipMode::Run, [](uint8_t choice, Chip& chip) {
        static const size_t sizes[4] = {65536, 16384, 200, 524288};
        const size_t chosenSize = sizes[(choice >> 1) & 3];
        SerialAPI serialAPI(chip, (choice & 8) != 0, false);
        if ((choice & 1) == 0) {
            // A buffer on the heap, exactly as large as chosen, so that a byte past it is caught.
            std::vector<uint8_t> buffer(chosenSize);
            View read = backupNVM(serialAPI, Span(buffer.data(), buffer.size()));
            if (read.size() > buffer.size() || (read.size() != 0 && read.data() != buffer.data()))
                abort();
        } else {
            std::vector<uint8_t> image(chosenSize);
            for (size_t i = 0; i < image.size(); ++i)
                image[i] = uint8_t(i * 31 + 7);
            if (choice & 16)
                image.resize(image.size() / 2 + 3); // trailing bytes that are not zero
            restoreNVM(serialAPI, View(image.data(), image.size()), (choice >> 5) & 3);
        }
    });
}
