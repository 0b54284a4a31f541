#include "Module.hpp"

namespace emu {

Module::Module(ModuleContext& context, int resetLevel, Nanos now)
    : context(context), programmingInterface(context), serialApi(context) {
    setResetLevel(resetLevel, now);
}

void Module::setResetLevel(int newLevel, Nanos now) {
    newLevel = newLevel != 0 ? 1 : 0;
    context.trace.line(now, "line", "reset", std::to_string(newLevel));
    if (newLevel == level)
        return;
    level = newLevel;
    if (level == 0) {
        bool wasStarting = currentMode == Mode::Running || currentMode == Mode::Booting;
        // Everything in flight is cut off, as the UART stops with the CPU.
        serialApi.stop();
        context.toHost.clear();
        if (wasStarting && context.faults.staleStarted && !staleStartedSent) {
            // Sent by a boot that ended just before the reset: already on the line, due at once.
            staleStartedSent = true;
            std::vector<uint8_t> frame = startedFrame();
            context.toHost.push(frame.data(), frame.size(),
                                now - Nanos(frame.size()) * context.toHost.characterTime());
            context.trace.line(now, "out", "frame", "started", frame.data(), frame.size());
            context.trace.fault(now, "stale-started", "started");
        }
        programmingInterface.reset();
        bootAt = NEVER;
        currentMode = Mode::Reset;
    } else {
        programmingInterface.reset();
        scheduleBoot(now);
    }
}

void Module::scheduleBoot(Nanos now) {
    serialApi.stop();
    currentMode = Mode::Booting;
    bootAt = now + context.timing.bootDelay;
}

void Module::boot(Nanos now) {
    bootAt = NEVER;
    std::optional<FirmwareIdentity> identity = identifyFlash(context.state.flash);
    if (!identity || context.faults.bootFail) {
        currentMode = Mode::Halted;
        if (context.faults.bootFail)
            context.trace.fault(now, "boot-fail", "boot");
        const char* reason = context.faults.bootFail                ? "boot-fail fault"
                             : !flashCrcPasses(context.state.flash) ? "flash CRC mismatch"
                                                                    : "no identity record";
        context.trace.line(now, "event", "boot", std::string("failed: ") + reason);
        return;
    }
    if (context.state.nvm.size() != identity->nvmSize) {
        // A firmware with another NVM layout starts a new network.
        context.state.nvm = defaultNvm(*identity);
        context.state.nvmDirty = true;
        context.trace.line(now, "event", "nvm", "formatted");
    }
    currentMode = Mode::Running;
    context.trace.line(now, "event", "boot",
                       identity->version + " library " + std::to_string(identity->libraryType));
    serialApi.start(*identity, now);
}

void Module::onHostByte(uint8_t byte, Nanos now) {
    if (context.faults.silent()) {
        if (!silenceTraced)
            context.trace.fault(now, "silent-after", "-");
        silenceTraced = true;
        context.trace.line(now, "in", "ignored", "-", &byte, 1);
        return;
    }
    switch (currentMode) {
    case Mode::Reset:
        programmingInterface.onByte(byte, now);
        break;
    case Mode::Running:
        serialApi.onByte(byte, now);
        if (serialApi.takeRebootRequest()) {
            context.trace.line(now, "event", "boot", "soft reset");
            scheduleBoot(now);
        }
        break;
    case Mode::Booting:
    case Mode::Halted:
        context.trace.line(now, "in", "ignored", "-", &byte, 1);
        break;
    }
}

void Module::onTimer(Nanos now) {
    if (now >= bootAt)
        boot(now);
    if (currentMode == Mode::Running && !context.faults.silent())
        serialApi.onTimer(now);
}

Nanos Module::nextDeadline() const {
    Nanos deadline = bootAt;
    if (currentMode == Mode::Running && !context.faults.silent())
        deadline = std::min(deadline, serialApi.nextDeadline());
    return deadline;
}

} // namespace emu
