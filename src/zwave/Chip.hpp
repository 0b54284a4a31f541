#pragma once
// The one connection to the Z-Wave module: its serial tty, the optional GPIO line on its reset
// input (active low), the mode that line is in, and the read-ahead on the tty.
#include "gpio/Pin.hpp"
#include "rawio/ReadBuffer.hpp"
#include "util/View.hpp"
#include "zwave/ExclusiveTty.hpp"

#include <cstdint>

enum class ChipMode {
    Run = 0,         // reset released: the firmware runs and speaks the Serial API
    Programming = 1, // reset held low: the UART programming interface answers
};

class Chip {
public:
    // Opens and locks the tty, then (only when that worked) takes the reset line and pulses it into `mode`.
    Chip(const char* ttyPath, uint32_t resetGpio, ChipMode mode);
    // Without a reset line the chip stays in `mode` for good.
    Chip(const char* ttyPath, ChipMode mode);
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    bool isUsable() const { return usable; }
    bool hasTty() const { return tty.valid(); }
    bool hasResetPin() const { return resetPin.isOpen(); }
    ChipMode currentMode() const { return mode; }

    // Puts the reset line at the level of `newMode`; true at once when already there.
    bool setMode(ChipMode newMode);
    // Pulses the reset line and comes back to the current mode.
    bool hardwareReset();

    // Drops the buffered bytes and everything readable on the tty now.
    void discardInput() { readBuffer.discard(tty); }
    // All bytes; throws RawIO::Exception on a write error.
    void write(TemporaryView bytes);
    // The filled prefix of `into`, shorter when the timeout passed; throws on I/O errors.
    Span read(Span into, int timeoutMs) { return readBuffer.read(tty, into, timeoutMs); }

    // Declared in this order so that the pin goes before the tty on destruction.
    ExclusiveTty tty;

private:
    Pin resetPin;
    ChipMode mode;

public:
    // Shared with the frame reader and the start-byte search.
    ReadBuffer readBuffer;

private:
    // The level opposite to `mode` for 7.5 ms, then the mode's own level and another 7.5 ms.
    bool pulseReset();

    bool usable = false;
};
