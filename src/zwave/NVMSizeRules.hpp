#pragma once
// What to keep of an NVM read that disagrees with the size the firmware reported, and how much of
// an image to write into an NVM smaller than the image. Both print why they cut or keep bytes.
#include "util/View.hpp"

#include <cstdint>

// The wire offset has 16 bits, so no byte past this many can be written.
constexpr size_t NVM_WIRE_LIMIT = 65536;

// `read` holds every byte read until the end of the NVM; `size` >= 1 is the reported size.
// Raises nvm_io_exception when fewer than `size` bytes came.
View keptOfNVMRead(View read, uint32_t size);

// The number of leading bytes of `image` to write into an NVM of `size` >= 1 bytes.
size_t nvmWriteLength(View image, uint32_t size);

// The image without the run of zero bytes at its end.
size_t withoutTrailingZeros(View image);

// Raises nvm_io_exception when no NVM size could make the bytes to write fit the wire offset.
void checkImageFitsWireOffsets(View image);
