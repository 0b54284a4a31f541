#include "zwave/SerialAPI.hpp"

#include "rawio/DescriptorIO.hpp"
#include "rawio/TimeoutClock.hpp"
#include "util/Console.hpp"
#include "zwave/Chip.hpp"

namespace {

constexpr int REPLY_TIMEOUT_MS = 1500;
constexpr int SET_DEFAULT_TIMEOUT_MS = 15000;
constexpr unsigned VERSION_ATTEMPTS = 5;
constexpr uint8_t SET_DEFAULT_CALLBACK_ID = 0x07;

int eraseDrainMs = 1000;

int remaining(const TimeoutClock& clock, int timeoutMs) {
    return int(clock.remaining(timeoutMs));
}

} // namespace

SerialAPI::SerialAPI(Chip& chip, bool softResetAllowed, bool verbose)
    : chip(chip), ready(chip.setMode(ChipMode::Run)), verbose(verbose) {
    progressStep("Configuring serial API");
    if (chip.hasResetPin())
        waitForStarted(REPLY_TIMEOUT_MS);
    else if (softResetAllowed)
        softReset(REPLY_TIMEOUT_MS);
}

bool SerialAPI::isOpen() const {
    return chip.hasTty();
}

void SerialAPI::dump(const char* prefix, View bytes) {
    if (verbose)
        logLine(prefix, bytes);
}

void SerialAPI::sendBytes(View bytes) {
    dump("Sending: ", bytes);
    RawIO::writeFully(chip.tty.get(), bytes.data(), bytes.size());
}

void SerialAPI::answer(const Frame& frame) {
    const uint8_t reply[] = {frame.hasGoodChecksum() ? ACK : NAK};
    sendBytes(View(reply, 1));
}

Frame SerialAPI::receive(int timeoutMs) {
    TimeoutClock clock;
    Frame frame = readFrame(chip, timeoutMs);
    dump("Recving: ", frame.bytes());
    // A damaged frame is NAKed and the chip's repetition awaited within the same time.
    while (frame.isDataFrame() && !frame.hasGoodChecksum()) {
        answer(frame);
        frame = readFrame(chip, remaining(clock, timeoutMs));
        dump("Recving: ", frame.bytes());
    }
    if (frame.isDataFrame())
        answer(frame);
    return frame;
}

Frame SerialAPI::sendAndWait(const Frame& frame, uint8_t functionId, int timeoutMs) {
    sendBytes(frame.bytes());
    TimeoutClock clock;
    for (;;) {
        Frame reply = receive(remaining(clock, timeoutMs));
        if (reply.isEmpty())
            return reply;
        // Callbacks from the chip are requests with the same function id; they match as well.
        if (reply.size >= 4 && reply.functionId() == functionId)
            return reply;
    }
}

Frame SerialAPI::sendRequest(uint8_t functionId, TemporaryView payload, int timeoutMs) {
    return sendAndWait(Frame::makeRequest(functionId, payload), functionId, timeoutMs);
}

Frame SerialAPI::sendWithRetries(const Frame& request, int attempts, int timeoutMs) {
    if (request.size < 5 || request.frameType() != REQUEST)
        return Frame::empty();
    for (int attempt = 0; attempt < attempts; ++attempt) {
        Frame reply = sendAndWait(request, request.functionId(), timeoutMs);
        if (!reply.isEmpty())
            return reply;
    }
    return Frame::empty();
}

void SerialAPI::acknowledge(const Frame& frame) {
    dump("Recving: ", frame.bytes());
    if (frame.isDataFrame())
        answer(frame);
}

void SerialAPI::drain(int timeoutMs) {
    TimeoutClock clock;
    for (;;) {
        Frame frame = readFrame(chip, remaining(clock, timeoutMs));
        acknowledge(frame);
        if (frame.isEmpty())
            return;
    }
}

bool SerialAPI::waitForStarted(int timeoutMs) {
    TimeoutClock clock;
    for (;;) {
        Frame frame = receive(remaining(clock, timeoutMs));
        if (frame.isEmpty())
            return false;
        if (frame.size >= 4 && frame.functionId() == STARTED)
            return true;
    }
}

bool SerialAPI::softReset(int timeoutMs) {
    progressStep("Soft resetting chip");
    sendBytes(Frame::makeRequest(SOFT_RESET, View()).bytes());
    return waitForStarted(timeoutMs);
}

bool SerialAPI::hardReset(int timeoutMs) {
    progressStep("Hard resetting chip");
    if (!chip.hardwareReset())
        return false;
    return waitForStarted(timeoutMs);
}

bool SerialAPI::resetChip(bool allowSoft, bool fallback, int timeoutMs) {
    if (chip.hasResetPin())
        return hardReset(timeoutMs);
    if (allowSoft)
        return softReset(REPLY_TIMEOUT_MS);
    return fallback;
}

ProtocolVersion SerialAPI::getVersion() {
    progressStep("Getting version");
    for (unsigned attempt = 0; attempt < VERSION_ATTEMPTS; ++attempt) {
        Frame reply = sendRequest(GET_VERSION, View(), REPLY_TIMEOUT_MS);
        if (reply.isEmpty())
            continue;
        ProtocolVersion version = ProtocolVersion::fromFrame(reply);
        if (version.length() > 0)
            return version;
    }
    return ProtocolVersion();
}

bool SerialAPI::setDefault() {
    const uint8_t payload[] = {SET_DEFAULT_CALLBACK_ID};
    Frame reply = sendRequest(SET_DEFAULT, payload, SET_DEFAULT_TIMEOUT_MS);
    return reply.size > 5 && reply.data[4] == SET_DEFAULT_CALLBACK_ID;
}

bool SerialAPI::eraseNVM(unsigned retries) {
    progressStep("Erasing NVM");
    if (setDefault())
        return true;
    for (unsigned attempt = 1; attempt <= retries; ++attempt) {
        progressRetry(attempt, retries);
        drain(eraseDrainMs);
        if (setDefault())
            return true;
    }
    return false;
}

namespace serial_api::testing {

void setEraseDrainTime(int milliseconds) {
    eraseDrainMs = milliseconds;
}

} // namespace serial_api::testing
