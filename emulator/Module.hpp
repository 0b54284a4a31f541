#pragma once
// The emulated ZM5304: its run state follows the reset line. Low: held in reset, the programming
// interface answers. High: after the boot delay the firmware in flash boots if its CRC passes and it
// carries an identity record, sends the started notification and answers the Serial API;
// otherwise the module stays silent.
#include "FirmwareIdentity.hpp"
#include "ModuleContext.hpp"
#include "ProgrammingInterface.hpp"
#include "SerialApiSide.hpp"

namespace emu {

class Module {
public:
    enum class Mode { Reset, Booting, Running, Halted };

    // `resetLevel` is the line's level when the emulator starts (1: the module boots now).
    Module(ModuleContext& context, int resetLevel, Nanos now);

    void setResetLevel(int level, Nanos now);
    void onHostByte(uint8_t byte, Nanos now);
    void onTimer(Nanos now);
    Nanos nextDeadline() const;

    Mode mode() const { return currentMode; }
    const ProgrammingInterface& programming() const { return programmingInterface; }

private:
    void scheduleBoot(Nanos now);
    void boot(Nanos now);

    ModuleContext& context;
    ProgrammingInterface programmingInterface;
    SerialApiSide serialApi;
    Mode currentMode = Mode::Halted;
    int level = -1;
    Nanos bootAt = NEVER;
    bool staleStartedSent = false;
    bool silenceTraced = false;
};

} // namespace emu
