#pragma once
// The lowest layer of Serial API reception: everything before a start byte (SOF, ACK or NAK) is
// line noise and is skipped.
#include "rawio/TimeoutClock.hpp"

#include <cstdint>

class Chip;

// The first start byte within `timeoutMs` counted from `clock`, or 0. Bytes after it stay
// buffered for the frame reader.
uint8_t waitForStartByte(Chip& chip, TimeoutClock clock, int timeoutMs);
