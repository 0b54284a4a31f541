#include "ProgrammingInterface.hpp"

#include "FirmwareIdentity.hpp"
#include "ReplyFaults.hpp"
#include "SerialFrame.hpp"

#include <algorithm>

namespace emu {

static const uint8_t ENABLE[4] = {0xAC, 0x53, 0xAA, 0x55};

const char* commandName(const uint8_t* command) {
    if (std::equal(command, command + 4, ENABLE))
        return "enable";
    switch (command[0]) {
    case 0x7F:
        return command[1] == 0xFE ? "check-state" : "unknown";
    case 0x0B:
        return "erase-sector";
    case 0x04:
        return "write-sram";
    case 0x80:
        return "continue-write";
    case 0x20:
        return "write-flash-sector";
    case 0xC3:
        return "crc-check";
    case 0xF2:
        return "read-nvr";
    default:
        return "unknown";
    }
}

void ProgrammingInterface::reset() {
    enabled = false;
    received = 0;
    sram.fill(0xFF);
    sramPosition = 0;
    busyUntil = 0;
    crcBits = 0;
    // A stuck flash state machine stays stuck: that is the fault being modelled.
}

uint8_t ProgrammingInterface::stateByte(Nanos now) const {
    if (stuckBusy || now < busyUntil)
        return STATE_BUSY;
    return crcBits;
}

void ProgrammingInterface::startBusy(Nanos duration, const std::string& name, Nanos now) {
    busyUntil = now + duration;
    if (context.faults.busyForever && !stuckBusy) {
        stuckBusy = true;
        context.trace.fault(now, "busy-forever", name);
    }
}

void ProgrammingInterface::onByte(uint8_t byte, Nanos now) {
    if (received > 0 && now - lastByte > COMMAND_GAP)
        received = 0;
    lastByte = now;
    if (!enabled) {
        // Until enabled, the interface looks for the enable sequence anywhere in the stream.
        if (received == 4) {
            std::rotate(command.begin(), command.begin() + 1, command.end());
            command[3] = byte;
        } else {
            command[received++] = byte;
        }
        if (received == 4 && std::equal(command.begin(), command.end(), ENABLE))
            execute(now);
        return;
    }
    command[received++] = byte;
    if (received == 4)
        execute(now);
}

void ProgrammingInterface::answer(const uint8_t* bytes, const std::string& name, const ExchangeFaults& faults,
                                  Nanos now) {
    Trace& trace = context.trace;
    Nanos at = now;
    if (replyReplaced(context, faults, name, now, at))
        return;
    uint8_t reply[4] = {bytes[0], bytes[1], bytes[2], bytes[3]};
    if (faults.corruptChecksum) {
        reply[3] ^= 0xFF;
        trace.fault(at, "corrupt-checksum", name);
    }
    context.toHost.push(reply, 4, at);
    trace.line(at, "out", "prog", name, reply, 4);
    if (faults.strayByte) {
        uint8_t stray = Faults::STRAY_BYTE;
        context.toHost.push(&stray, 1, at);
        trace.line(at, "out", "noise", "-", &stray, 1);
        trace.fault(at, "stray-byte", name);
    }
}

void ProgrammingInterface::execute(Nanos now) {
    received = 0;
    const uint8_t* c = command.data();
    std::string name = commandName(c);
    context.trace.line(now, "in", "prog", name, c, 4);
    ExchangeFaults faults = context.faults.onExchange(name, "prog");
    ModuleState& state = context.state;

    if (name == "enable") {
        if (!context.faults.enableAnswered()) {
            context.trace.fault(now, context.faults.neverEnable ? "never-enable" : "enable-on-try", name);
            return;
        }
        if (!context.faults.enableReply.empty()) {
            context.trace.fault(now, "enable-reply", name);
            answer(context.faults.enableReply.data(), name, faults, now);
            return;
        }
        enabled = true;
        answer(c, name, faults, now);
    } else if (name == "check-state") {
        uint8_t reply[4] = {c[0], c[1], c[2], stateByte(now)};
        answer(reply, name, faults, now);
    } else if (name == "erase-sector") {
        if (c[1] < SECTOR_COUNT) {
            std::fill_n(state.flash.begin() + c[1] * SECTOR_SIZE, SECTOR_SIZE, 0xFF);
            state.flashDirty = true;
            crcBits = 0;
            startBusy(context.timing.eraseBusy, name, now);
        }
        answer(c, name, faults, now);
    } else if (name == "write-sram") {
        size_t offset = (size_t(c[1]) << 8) | c[2];
        if (offset < sram.size()) {
            sram[offset] = c[3];
            sramPosition = offset + 1;
        }
        answer(c, name, faults, now);
    } else if (name == "continue-write") {
        for (int i = 1; i <= 3; ++i, ++sramPosition)
            if (sramPosition < sram.size())
                sram[sramPosition] = c[i];
        answer(c, name, faults, now);
    } else if (name == "write-flash-sector") {
        uint8_t reply[4] = {c[0], c[1], c[2], c[3]};
        if (c[1] < SECTOR_COUNT) {
            if (context.faults.sectorWriteFails(c[1])) {
                context.trace.fault(now, "fail-sector", name);
                reply[3] = 0x00;
            } else {
                // Programming only clears bits, as on real flash.
                uint8_t* sector = state.flash.data() + c[1] * SECTOR_SIZE;
                for (size_t i = 0; i < SECTOR_SIZE; ++i)
                    sector[i] &= sram[i];
                state.flashDirty = true;
            }
            sram.fill(0xFF);
            sramPosition = 0;
            crcBits = 0;
            startBusy(context.timing.writeBusy, name, now);
        }
        answer(reply, name, faults, now);
    } else if (name == "crc-check") {
        bool passed = flashCrcPasses(state.flash);
        switch (context.faults.nextCrcVerdict()) {
        case Faults::CrcVerdict::Real:
            crcBits = passed ? STATE_CRC_PASSED : STATE_CRC_FAILED;
            break;
        case Faults::CrcVerdict::Fail:
            crcBits = STATE_CRC_FAILED;
            context.trace.fault(now, "crc-fail", name);
            break;
        case Faults::CrcVerdict::Undecided:
            crcBits = 0;
            context.trace.fault(now, "crc-undecided", name);
            break;
        }
        context.trace.line(now, "event", "crc",
                           crcBits == STATE_CRC_PASSED   ? "passed"
                           : crcBits == STATE_CRC_FAILED ? "failed"
                                                         : "undecided");
        startBusy(context.timing.crcBusy, name, now);
        answer(c, name, faults, now);
    } else if (name == "read-nvr") {
        if (context.faults.nvrStopAt >= 0 && c[2] >= context.faults.nvrStopAt) {
            context.trace.fault(now, "nvr-stop-at", name);
            return;
        }
        uint8_t reply[4] = {c[0], c[1], c[2], state.nvr[c[2]]};
        answer(reply, name, faults, now);
    }
}

} // namespace emu
