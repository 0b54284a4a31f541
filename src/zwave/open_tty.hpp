#pragma once
// Opening the chip's serial tty: non-blocking, raw, 115200 baud both ways, VMIN and VTIME 0.
#include "rawio/FileDescriptor.hpp"

// An empty descriptor (after one error line) when the tty cannot be opened or configured.
FileDescriptor openTTY(const char* path);

// Raw settings, modem lines ignored, no hang-up on close; false after one error line.
bool configureTTY(int fd, const char* path);
