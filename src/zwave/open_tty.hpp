#pragma once
// Opening the chip's serial tty: held by this run alone, non-blocking, raw without software flow
// control, 115200 baud both ways, VMIN and VTIME 0.
#include "zwave/ExclusiveTty.hpp"

// An empty tty (after one error line) when the tty cannot be opened, locked or configured.
ExclusiveTty openTTY(const char* path);

// Raw settings, modem lines ignored, no hang-up on close; false after one error line, also when
// the tty does not read back at 115200 baud.
bool configureTTY(int fd, const char* path);
