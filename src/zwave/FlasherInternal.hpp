#pragma once
// Shared by the programming-interface sources only: command bytes, state bits and busy limits.
#include "zwave/Flasher.hpp"

#include <cstdint>

namespace flasher {

constexpr int REPLY_TIMEOUT_MS = 1000;

constexpr uint8_t CHECK_STATE[4] = {0x7f, 0xfe, 0x00, 0x00};

constexpr uint8_t STATE_CRC_PASSED = 0x02;
constexpr uint8_t STATE_CRC_FAILED = 0x04;
constexpr uint8_t STATE_BUSY = 0x08;

BusyLimits busyLimits();

// Sleeps `milliseconds` in short slices; false as soon as cancellation was requested, even when
// the signal was taken by another thread and did not interrupt this one's sleep.
bool pauseUnlessCancelled(int milliseconds);

} // namespace flasher
