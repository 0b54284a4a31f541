#pragma once
// The module's UART programming interface while reset is held low: 4-byte commands, each answered
// by 4 bytes; the flash state machine (erase, sector write, CRC check) with its busy bit; the
// 2048-byte SRAM page that sector writes copy from; the NVR page.
#include "ModuleContext.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace emu {

constexpr uint8_t STATE_CRC_PASSED = 0x02;
constexpr uint8_t STATE_CRC_FAILED = 0x04;
constexpr uint8_t STATE_BUSY = 0x08;

// Bytes of a command more than this far apart belong to different commands.
constexpr Nanos COMMAND_GAP = 100 * MILLISECOND;

const char* commandName(const uint8_t* command);

class ProgrammingInterface {
public:
    explicit ProgrammingInterface(ModuleContext& context) : context(context) { reset(); }

    // Reset asserted anew: the interface must be enabled again; SRAM erased; no operation running.
    void reset();
    bool isEnabled() const { return enabled; }
    void onByte(uint8_t byte, Nanos now);
    uint8_t stateByte(Nanos now) const;

private:
    void execute(Nanos now);
    void answer(const uint8_t* bytes, const std::string& name, const ExchangeFaults& faults, Nanos now);
    void startBusy(Nanos duration, const std::string& name, Nanos now);

    ModuleContext& context;
    bool enabled = false;
    std::array<uint8_t, 4> command{};
    size_t received = 0;
    Nanos lastByte = 0;
    std::array<uint8_t, 2048> sram{};
    size_t sramPosition = 0;
    Nanos busyUntil = 0;
    bool stuckBusy = false;
    uint8_t crcBits = 0;
};

} // namespace emu
