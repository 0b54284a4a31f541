#include "zwave/NVM.hpp"

#include "util/Console.hpp"
#include "zwave/NVMSizeRules.hpp"
#include "zwave/SerialAPI.hpp"

#include <cstring>
#include <stdexcept>

namespace {

constexpr uint8_t OPEN = 0;
constexpr uint8_t READ = 1;
constexpr uint8_t WRITE = 2;
constexpr uint8_t CLOSE = 3;

constexpr uint8_t STATUS_OK = 0;
constexpr uint8_t STATUS_ERROR = 1;
constexpr uint8_t STATUS_END = 255;

constexpr uint8_t CHUNK = 64;
constexpr int REPLY_TIMEOUT_MS = 1500;
constexpr int SENDS_PER_REQUEST = 8;
constexpr int REQUESTS_PER_CHUNK = 4;
constexpr unsigned OPERATION_RETRIES = 2;
constexpr unsigned ERASE_RETRIES = 32;

// Reply layout after the function id.
constexpr size_t STATUS = 4;
constexpr size_t LENGTH = 5;
constexpr size_t OFFSET_HIGH = 6;
constexpr size_t OFFSET_LOW = 7;
constexpr size_t DATA = 8;
constexpr size_t MIN_REPLY = 9;

uint32_t replyOffset(const Frame& reply) {
    return uint32_t(reply.data[OFFSET_HIGH]) << 8 | reply.data[OFFSET_LOW];
}

bool isInvalidStatus(uint8_t status) {
    return status != STATUS_OK && status != STATUS_ERROR && status != STATUS_END;
}

} // namespace

Frame nvmOperation(SerialAPI& serialAPI, uint8_t op) {
    const uint8_t payload[] = {op};
    Frame reply = serialAPI.sendRequest(SerialAPI::NVM_BACKUP_RESTORE, payload, REPLY_TIMEOUT_MS);
    for (unsigned retry = 1; reply.isEmpty() && retry <= OPERATION_RETRIES; ++retry) {
        progressRetry(retry, OPERATION_RETRIES);
        reply = serialAPI.sendRequest(SerialAPI::NVM_BACKUP_RESTORE, payload, REPLY_TIMEOUT_MS);
    }
    return reply;
}

uint32_t openNVM(SerialAPI& serialAPI) {
    Frame reply = nvmOperation(serialAPI, OPEN);
    if (reply.size > 8 && reply.data[STATUS] == STATUS_OK)
        return replyOffset(reply);
    return 0;
}

void closeNVM(SerialAPI& serialAPI) {
    nvmOperation(serialAPI, CLOSE);
}

ReadResult readChunk(SerialAPI& serialAPI, uint32_t offset, Span buffer) {
    const uint8_t payload[] = {READ, CHUNK, uint8_t(offset >> 8), uint8_t(offset)};
    Frame request = Frame::makeRequest(SerialAPI::NVM_BACKUP_RESTORE, payload);
    for (int sends = 0; sends < REQUESTS_PER_CHUNK; ++sends) {
        Frame reply = serialAPI.sendWithRetries(request, SENDS_PER_REQUEST, REPLY_TIMEOUT_MS);
        if (reply.isEmpty())
            throw nvm_io_exception("timed out");
        if (reply.size < MIN_REPLY)
            throw nvm_io_exception("invalid nvm read response from chip");
        uint8_t status = reply.data[STATUS];
        if (status == STATUS_ERROR)
            throw nvm_io_exception("nvm read error");
        if (isInvalidStatus(status))
            throw nvm_io_exception("invalid nvm read response from chip");
        if (replyOffset(reply) != offset)
            continue;
        uint8_t length = reply.data[LENGTH];
        if (length > reply.size - MIN_REPLY)
            throw nvm_io_exception("nvm buffer in response shorter than specified in header");
        Span target = offset < buffer.size() ? buffer.from(offset) : Span();
        if (length > target.size())
            throw nvm_io_exception("local nvm buffer overflow");
        if (length > 0)
            std::memcpy(target.data(), reply.data + DATA, length);
        return ReadResult{length, status == STATUS_END};
    }
    throw nvm_io_exception("unexpected nvm range received");
}

uint32_t readAll(SerialAPI& serialAPI, Span buffer) {
    uint32_t offset = 0;
    for (;;) {
        ReadResult chunk = readChunk(serialAPI, offset, buffer);
        offset += chunk.count;
        if (chunk.eof)
            return offset;
        // A chip that keeps answering without data and without the end would be asked forever.
        if (chunk.count == 0)
            throw nvm_io_exception("invalid nvm read response from chip");
    }
}

uint32_t writeChunk(SerialAPI& serialAPI, uint32_t offset, View image) {
    if (offset >= image.size())
        throw nvm_io_exception("empty NVM write");
    // A larger offset would wrap on the wire and overwrite the start of the NVM.
    if (offset >= NVM_WIRE_LIMIT)
        throw nvm_io_exception("NVM image too large");
    size_t left = image.size() - offset;
    uint8_t n = uint8_t(left < CHUNK ? left : CHUNK);
    uint8_t payload[4 + CHUNK] = {WRITE, n, uint8_t(offset >> 8), uint8_t(offset)};
    std::memcpy(payload + 4, image.data() + offset, n);
    Frame request = Frame::makeRequest(SerialAPI::NVM_BACKUP_RESTORE, View(payload, 4u + n));
    for (int sends = 0; sends < REQUESTS_PER_CHUNK; ++sends) {
        Frame reply = serialAPI.sendWithRetries(request, SENDS_PER_REQUEST, REPLY_TIMEOUT_MS);
        if (reply.isEmpty())
            throw nvm_io_exception("timed out");
        if (reply.size < MIN_REPLY || isInvalidStatus(reply.data[STATUS]))
            throw nvm_io_exception("invalid nvm write response from chip");
        if (replyOffset(reply) != offset)
            throw nvm_io_exception("nvm write at unexpected offset");
        if (reply.data[STATUS] == STATUS_OK)
            return reply.data[LENGTH];
    }
    throw nvm_io_exception("nvm write error");
}

void writeAll(SerialAPI& serialAPI, View image) {
    for (size_t offset = 0; offset < image.size();) {
        uint32_t n = writeChunk(serialAPI, uint32_t(offset), image);
        if (n == 0)
            throw nvm_io_exception("unexpected write size");
        offset += n;
    }
}

NVM::NVM(SerialAPI& serialAPI)
    : size_(int32_t(openNVM(serialAPI))), serialAPI(size_ != 0 ? &serialAPI : nullptr) {}

NVM::~NVM() {
    if (size_ == 0 || serialAPI == nullptr)
        return;
    try {
        closeNVM(*serialAPI);
    } catch (...) {
        // The exchange is over either way; a close that fails must not hide what happened before.
    }
}

View NVM::read(Span buffer) {
    if (size_ < 1)
        throw nvm_io_exception("NVM could not be opened");
    if (buffer.size() < size_t(size_))
        throw nvm_io_exception("NVM is larger than supplied buffer");
    uint32_t total = readAll(*serialAPI, buffer);
    return keptOfNVMRead(View(buffer.data(), total), uint32_t(size_));
}

void NVM::write(View image) {
    if (size_ < 1)
        throw nvm_io_exception("NVM could not be opened");
    writeAll(*serialAPI, image.sub(0, nvmWriteLength(image, uint32_t(size_))));
}

View backupNVM(SerialAPI& serialAPI, Span buffer) {
    if (!serialAPI.isOpen())
        return View();
    progressStep("Reading NVM");
    NVM nvm(serialAPI);
    return nvm.read(buffer);
}

bool restoreOnce(SerialAPI& serialAPI, View image, unsigned attempt, unsigned attempts) {
    if (!serialAPI.resetChip(true, true, REPLY_TIMEOUT_MS))
        return false;
    if (!serialAPI.eraseNVM(ERASE_RETRIES))
        return false;
    {
        progressStep("Opening NVM");
        NVM nvm(serialAPI);
        progressStep("Writing NVM");
        if (attempt > 0)
            progressRetry(attempt, attempts);
        nvm.write(image);
    }
    return serialAPI.resetChip(true, true, REPLY_TIMEOUT_MS);
}

bool restoreNVM(SerialAPI& serialAPI, View image, unsigned attempts) {
    if (!serialAPI.isOpen())
        throw std::invalid_argument("Serial API not open");
    // Every attempt erases first; an image that can never be written must not cost the network.
    checkImageFitsWireOffsets(image);
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        try {
            if (restoreOnce(serialAPI, image, attempt, attempts))
                return true;
        } catch (const nvm_io_exception&) {
        }
    }
    return restoreOnce(serialAPI, image, attempts, attempts);
}
