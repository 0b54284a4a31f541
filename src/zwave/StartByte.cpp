#include "zwave/StartByte.hpp"

#include "zwave/Chip.hpp"

namespace {

constexpr uint8_t START_OF_FRAME = 0x01;
constexpr uint8_t ACKNOWLEDGE = 0x06;
constexpr uint8_t NEGATIVE_ACKNOWLEDGE = 0x15;

bool isStartByte(uint8_t byte) {
    return byte == START_OF_FRAME || byte == ACKNOWLEDGE || byte == NEGATIVE_ACKNOWLEDGE;
}

// Consumes buffered bytes up to and including the first start byte; 0 when there is none.
uint8_t scanForStartByte(ReadBuffer& buffer) {
    for (;;) {
        auto [byte, got] = buffer.takeByte();
        if (!got)
            return 0;
        if (isStartByte(byte))
            return byte;
    }
}

} // namespace

uint8_t waitForStartByte(Chip& chip, TimeoutClock clock, int timeoutMs) {
    if (uint8_t found = scanForStartByte(chip.readBuffer))
        return found;
    if (timeoutMs == 0)
        return 0;
    int wait = timeoutMs;
    for (;;) {
        auto [byte, got] =
            chip.readBuffer.empty() ? chip.readBuffer.readByte(chip.tty, wait) : chip.readBuffer.takeByte();
        if (got) {
            if (isStartByte(byte))
                return byte;
            if (uint8_t found = scanForStartByte(chip.readBuffer))
                return found;
        }
        wait = int(clock.remaining(timeoutMs));
        if (wait == 0)
            return 0;
    }
}
