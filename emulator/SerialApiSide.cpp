#include "SerialApiSide.hpp"

#include "ReplyFaults.hpp"

#include <algorithm>
#include <cstdio>

namespace emu {

const char* functionName(uint8_t functionId) {
    switch (functionId) {
    case FUNC_SOFT_RESET:
        return "soft-reset";
    case FUNC_STARTED:
        return "started";
    case FUNC_GET_VERSION:
        return "get-version";
    case FUNC_NVM_BACKUP_RESTORE:
        return "nvm-backup-restore";
    case FUNC_SET_DEFAULT:
        return "set-default";
    case FUNC_UNRELATED:
        return "application-update";
    default:
        return nullptr;
    }
}

static std::string frameName(const std::vector<uint8_t>& frame) {
    uint8_t functionId = frame[3];
    if (functionId == FUNC_NVM_BACKUP_RESTORE && frame.size() > 5) {
        static const char* const operations[] = {"nvm-open", "nvm-read", "nvm-write", "nvm-close"};
        return frame[4] < 4 ? operations[frame[4]] : "nvm-unknown";
    }
    if (const char* name = functionName(functionId))
        return name;
    char text[16];
    snprintf(text, sizeof text, "func-%02x", functionId);
    return text;
}

std::vector<uint8_t> startedFrame() {
    // Reset reason, watchdog, listening, static controller, no command classes.
    return buildFrame(REQUEST, FUNC_STARTED, {0x00, 0x00, 0x01, 0x02, 0x01, 0x00});
}

void SerialApiSide::start(const FirmwareIdentity& firmware, Nanos now) {
    stop();
    running = true;
    identity = firmware;
    reply(startedFrame(), "started", ExchangeFaults{}, now);
}

void SerialApiSide::stop() {
    running = false;
    parser.reset();
    queue.clear();
    awaitingAck = false;
    ackDeadline = NEVER;
    setDefaultAt = NEVER;
    nvmOpen = false;
    rebootRequested = false;
}

bool SerialApiSide::takeRebootRequest() {
    bool requested = rebootRequested;
    rebootRequested = false;
    return requested;
}

void SerialApiSide::onByte(uint8_t byte, Nanos now) {
    if (!running)
        return;
    Trace& trace = context.trace;
    switch (parser.feed(byte, now)) {
    case HostFrameParser::Result::Nothing:
        break;
    case HostFrameParser::Result::Noise:
        trace.line(now, "in", "noise", "-", &byte, 1);
        break;
    case HostFrameParser::Result::Can:
        trace.line(now, "in", "can", "-", &byte, 1);
        break;
    case HostFrameParser::Result::Ack:
        trace.line(now, "in", "ack", "-", &byte, 1);
        if (awaitingAck) {
            awaitingAck = false;
            ackDeadline = NEVER;
            pump(now);
        }
        break;
    case HostFrameParser::Result::Nak:
        trace.line(now, "in", "nak", "-", &byte, 1);
        if (awaitingAck) {
            if (resends < MAX_RESENDS) {
                ++resends;
                current.corruptFirst = false;
                transmit(now);
            } else {
                awaitingAck = false;
                ackDeadline = NEVER;
                pump(now);
            }
        }
        break;
    case HostFrameParser::Result::BadFrame: {
        const std::vector<uint8_t>& frame = parser.frame();
        trace.line(now, "in", "bad-frame", frameName(frame), frame.data(), frame.size());
        uint8_t nak = NAK;
        context.toHost.push(&nak, 1, now);
        trace.line(now, "out", "nak", "-", &nak, 1);
        break;
    }
    case HostFrameParser::Result::GoodFrame: {
        std::vector<uint8_t> frame = parser.frame();
        std::string name = frameName(frame);
        trace.line(now, "in", "frame", name, frame.data(), frame.size());
        if (awaitingAck) {
            // The host has moved on without acknowledging: that frame is lost to it.
            trace.line(now, "event", "no-ack", current.name);
            awaitingAck = false;
            ackDeadline = NEVER;
        }
        const char* family = functionName(frame[3]);
        ExchangeFaults faults = context.faults.onExchange(name, family != nullptr ? family : "");
        uint8_t answer = faults.nakFrame ? NAK : ACK;
        if (faults.missingAck) {
            trace.fault(now, "missing-ack", name);
        } else {
            context.toHost.push(&answer, 1, now);
            trace.line(now, "out", faults.nakFrame ? "nak" : "ack", "-", &answer, 1);
        }
        if (faults.nakFrame) {
            trace.fault(now, "nak-frame", name);
            break;
        }
        handleFrame(frame, name, faults, now);
        break;
    }
    }
}

void SerialApiSide::handleFrame(const std::vector<uint8_t>& frame, const std::string& name,
                                const ExchangeFaults& faults, Nanos now) {
    if (frame[2] != REQUEST)
        return;
    switch (frame[3]) {
    case FUNC_GET_VERSION: {
        std::vector<uint8_t> payload(identity.version.begin(), identity.version.end());
        payload.push_back(0);
        payload.push_back(identity.libraryType);
        reply(buildFrame(RESPONSE, FUNC_GET_VERSION, payload), name, faults, now);
        break;
    }
    case FUNC_SOFT_RESET:
        rebootRequested = true;
        break;
    case FUNC_SET_DEFAULT:
        setDefaultCallback = frame.size() > 5 ? frame[4] : 0;
        setDefaultFaults = faults;
        setDefaultAt = now + context.timing.setDefaultDelay;
        break;
    case FUNC_NVM_BACKUP_RESTORE:
        if (frame.size() > 5)
            handleNvm(frame, faults, now);
        break;
    default:
        break;
    }
}

void SerialApiSide::handleNvm(const std::vector<uint8_t>& frame, const ExchangeFaults& faults, Nanos now) {
    // Request payload: operation, length, offset high, offset low, data (frame bytes 4 to 8 on).
    // Reply: status, length, offset high, offset low, data.
    enum : uint8_t { OK = 0, ERROR = 1, END = 255 };
    std::vector<uint8_t>& nvm = context.state.nvm;
    const Faults& setup = context.faults;
    size_t payloadSize = frame.size() - 5;
    uint8_t operation = frame[4];
    uint8_t length = payloadSize > 1 ? frame[5] : 0;
    uint32_t offset = payloadSize > 3 ? (uint32_t(frame[6]) << 8) | frame[7] : 0;
    uint8_t status = ERROR;
    uint8_t count = 0;
    uint32_t replyOffset = offset;
    std::vector<uint8_t> data;
    switch (operation) {
    case 0: {
        nvmOpen = true;
        status = OK;
        replyOffset = uint32_t(nvm.size());
        if (setup.nvmReportedSize >= 0) {
            replyOffset = uint32_t(setup.nvmReportedSize);
            context.trace.fault(now, "nvm-size", "nvm-open");
        }
        break;
    }
    case 1: {
        if (!nvmOpen || payloadSize < 4)
            break;
        uint32_t end = setup.nvmEofAt >= 0 ? uint32_t(setup.nvmEofAt) : uint32_t(nvm.size());
        count = uint8_t(offset >= end ? 0 : std::min<uint32_t>(length, end - offset));
        for (uint32_t i = offset; i < offset + count; ++i)
            data.push_back(i < nvm.size() ? nvm[i] : 0);
        status = offset + count >= end ? END : OK;
        if (status == END && setup.nvmEofAt >= 0)
            context.trace.fault(now, "nvm-eof-at", "nvm-read");
        if (context.faults.nextNvmReadHasWrongOffset()) {
            replyOffset = offset + 64;
            context.trace.fault(now, "nvm-wrong-offset", "nvm-read");
        }
        break;
    }
    case 2: {
        if (!nvmOpen || payloadSize < 4 || payloadSize - 4 < length)
            break;
        uint32_t fits = offset >= nvm.size() ? 0 : std::min<uint32_t>(length, uint32_t(nvm.size()) - offset);
        std::copy(frame.begin() + 8, frame.begin() + 8 + fits, nvm.begin() + offset);
        if (fits > 0)
            context.state.nvmDirty = true;
        count = uint8_t(fits);
        status = fits == length ? OK : END;
        break;
    }
    case 3:
        nvmOpen = false;
        status = OK;
        replyOffset = 0;
        break;
    default:
        break;
    }
    data.insert(data.begin(), {status, count, uint8_t(replyOffset >> 8), uint8_t(replyOffset)});
    std::vector<uint8_t>& payload = data;
    reply(buildFrame(RESPONSE, FUNC_NVM_BACKUP_RESTORE, payload), frameName(frame), faults, now);
}

void SerialApiSide::reply(std::vector<uint8_t> frame, const std::string& name, const ExchangeFaults& faults,
                          Nanos now) {
    Trace& trace = context.trace;
    Nanos notBefore = now;
    if (replyReplaced(context, faults, name, now, notBefore))
        return;
    if (faults.replacePayload) {
        frame = buildFrame(frame[2], frame[3], faults.payload);
        trace.fault(now, "reply-payload", name);
    }
    if (faults.unrelatedFrameFirst) {
        // A node information update from some device in the network.
        std::vector<uint8_t> payload = {0x84, 0x05, 0x03, 0x04, 0x10, 0x01, 0x25};
        queue.push_back(
            {buildFrame(REQUEST, FUNC_UNRELATED, payload), notBefore, false, false, "application-update"});
        trace.fault(now, "unrelated-frame-first", name);
    }
    queue.push_back({std::move(frame), notBefore, faults.corruptChecksum, faults.strayByte, name});
    pump(now);
}

void SerialApiSide::transmit(Nanos now) {
    Trace& trace = context.trace;
    std::vector<uint8_t> bytes = current.bytes;
    if (current.corruptFirst) {
        bytes.back() ^= 0xFF;
        trace.fault(now, "corrupt-checksum", current.name);
    }
    static const uint8_t noise[] = {0x00, 0x7f, 0x18, 0xfe, 0x55, 0x00, 0x80, 0xaa};
    for (unsigned i = 0; i < context.faults.garbageBeforeFrames; ++i) {
        uint8_t byte = noise[i % sizeof noise];
        context.toHost.push(&byte, 1, now);
        trace.line(now, "out", "noise", "-", &byte, 1);
    }
    if (context.faults.garbageBeforeFrames > 0)
        trace.fault(now, "garbage-before-frames", current.name);
    Nanos sent = context.toHost.push(bytes.data(), bytes.size(), now);
    trace.line(now, "out", resends > 0 ? "frame-resend" : "frame", current.name, bytes.data(), bytes.size());
    if (current.strayAfter && resends == 0) {
        uint8_t stray = Faults::STRAY_BYTE;
        sent = context.toHost.push(&stray, 1, sent);
        trace.line(now, "out", "noise", "-", &stray, 1);
        trace.fault(now, "stray-byte", current.name);
    }
    awaitingAck = true;
    ackDeadline = sent + context.timing.ackTimeout;
}

void SerialApiSide::pump(Nanos now) {
    if (awaitingAck || queue.empty() || queue.front().notBefore > now)
        return;
    current = std::move(queue.front());
    queue.pop_front();
    resends = 0;
    transmit(now);
}

void SerialApiSide::onTimer(Nanos now) {
    if (!running)
        return;
    if (awaitingAck && now >= ackDeadline) {
        context.trace.line(now, "event", "no-ack", current.name);
        awaitingAck = false;
        ackDeadline = NEVER;
    }
    if (now >= setDefaultAt) {
        setDefaultAt = NEVER;
        context.state.nvm = defaultNvm(identity);
        context.state.nvmDirty = true;
        nvmOpen = false;
        context.trace.line(now, "event", "nvm", "set-default");
        if (setDefaultCallback != 0)
            reply(buildFrame(REQUEST, FUNC_SET_DEFAULT, {setDefaultCallback}), "set-default",
                  setDefaultFaults, now);
    }
    pump(now);
}

Nanos SerialApiSide::nextDeadline() const {
    if (!running)
        return NEVER;
    Nanos deadline = std::min(ackDeadline, setDefaultAt);
    if (!awaitingAck && !queue.empty())
        deadline = std::min(deadline, queue.front().notBefore);
    return deadline;
}

} // namespace emu
