// The programming interface fed by module replies: enabling it, the NVR read, the state and CRC
// checks, and a whole flash of a small image, with retries and restarts.
#include "support/VirtualModule.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Flasher.hpp"

#include <cstdlib>
#include <exception>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzzing::runOnModule(data, size, ChipMode::Programming, [](uint8_t choice, Chip& chip) {
        Flasher flasher(chip);
        switch (choice & 3) {
        case 0: {
            std::vector<uint8_t> nvr(NVR_SIZE);
            View read = flasher.readNVR(Span(nvr.data(), nvr.size()));
            if (read.size() != 0 && (read.size() != NVR_SIZE || read.data() != nvr.data()))
                abort();
            break;
        }
        case 1:
            flasher.waitForFMS();
            flasher.crcCheck();
            flasher.restartWithRetry();
            break;
        case 2:
            flasher.eraseSector(choice >> 2);
            flasher.writeSram(choice, 0x5A);
            flasher.writeFlashSector(choice >> 2);
            break;
        default: {
            // A flash image on the heap, exactly FLASH_SIZE bytes, mostly erased so that few
            // sectors carry data.
            std::vector<uint8_t> image(FLASH_SIZE, 0xFF);
            for (size_t i = 0; i < 64; ++i)
                image[i] = uint8_t(i);
            flasher.flash(View(image.data(), image.size()), (choice >> 2) & 1);
            break;
        }
        }
    });
}
