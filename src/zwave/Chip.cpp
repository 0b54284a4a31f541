#include "zwave/Chip.hpp"

#include "rawio/DescriptorIO.hpp"
#include "zwave/open_tty.hpp"

#include <unistd.h>

namespace {

constexpr unsigned RESET_SETTLE_US = 7500;

// The reset input is active low: the programming interface needs it held.
int levelOf(ChipMode mode) {
    return mode == ChipMode::Programming ? 0 : 1;
}

int oppositeLevelOf(ChipMode mode) {
    return 1 - levelOf(mode);
}

} // namespace

Chip::Chip(const char* ttyPath, uint32_t resetGpio, ChipMode mode) : tty(openTTY(ttyPath)), mode(mode) {
    if (!tty.valid())
        return;
    // Starting at the opposite level makes the switch to output the first half of a reset pulse.
    resetPin = Pin(resetGpio, true, oppositeLevelOf(mode));
    if (!resetPin.isOpen())
        return;
    usable = pulseReset();
}

Chip::Chip(const char* ttyPath, ChipMode mode) : tty(openTTY(ttyPath)), mode(mode) {
    usable = tty.valid();
}

bool Chip::setMode(ChipMode newMode) {
    if (mode == newMode)
        return true;
    if (!hasResetPin())
        return false;
    if (!resetPin.setValue(levelOf(newMode)))
        return false;
    ::usleep(RESET_SETTLE_US);
    mode = newMode;
    return true;
}

bool Chip::hardwareReset() {
    if (!hasResetPin() || !usable)
        return false;
    return pulseReset();
}

bool Chip::pulseReset() {
    if (!resetPin.setValue(oppositeLevelOf(mode)))
        return false;
    ::usleep(RESET_SETTLE_US);
    // Whatever the module sent before it was held in reset (a started notification of an earlier
    // boot above all) would be taken for an answer of the module that is about to start.
    if (mode == ChipMode::Run)
        discardInput();
    if (!resetPin.setValue(levelOf(mode)))
        return false;
    ::usleep(RESET_SETTLE_US);
    return true;
}

void Chip::write(TemporaryView bytes) {
    RawIO::writeFully(tty.get(), bytes.data(), bytes.size());
}
