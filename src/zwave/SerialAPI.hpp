#pragma once
// A short-lived connection to the running Z-Wave firmware over the chip's tty: requests out,
// every data frame in answered with ACK or NAK, replies matched by function id, and the few
// commands the tool needs. Timeouts come back as empty frames or false, never as exceptions.
#include "util/View.hpp"
#include "zwave/Frame.hpp"
#include "zwave/ProtocolVersion.hpp"

#include <cstdint>

class Chip;

class SerialAPI {
public:
    static constexpr uint8_t SOFT_RESET = 0x08;
    static constexpr uint8_t STARTED = 0x0A;
    static constexpr uint8_t GET_VERSION = 0x15;
    static constexpr uint8_t NVM_BACKUP_RESTORE = 0x2E;
    static constexpr uint8_t SET_DEFAULT = 0x42;

    // Switches the chip to run mode, then waits for the firmware to come up (after a reset pin
    // released it) or soft-resets it when that is allowed.
    SerialAPI(Chip& chip, bool softResetAllowed, bool verbose);
    SerialAPI(const SerialAPI&) = delete;
    SerialAPI& operator=(const SerialAPI&) = delete;

    bool isOpen() const;
    bool isReady() const { return ready; }

    void sendBytes(View bytes);
    Frame receive(int timeoutMs);
    Frame sendAndWait(const Frame& frame, uint8_t functionId, int timeoutMs);
    Frame sendRequest(uint8_t functionId, TemporaryView payload, int timeoutMs);
    Frame sendWithRetries(const Frame& request, int attempts, int timeoutMs);
    void acknowledge(const Frame& frame);
    void drain(int timeoutMs);

    bool waitForStarted(int timeoutMs);
    bool softReset(int timeoutMs);
    bool hardReset(int timeoutMs);
    // Hard reset with a reset pin, else soft reset when allowed, else `fallback` untouched.
    bool resetChip(bool allowSoft, bool fallback, int timeoutMs);

    ProtocolVersion getVersion();
    bool setDefault();
    // Set default, then up to `retries` more tries, each after draining what the chip still sends.
    bool eraseNVM(unsigned retries);

    Chip& chip;

private:
    void dump(const char* prefix, View bytes);
    void answer(const Frame& frame);

    bool ready;
    bool verbose;
};

namespace serial_api::testing {
// Tests only: the time each retry of an erase spends draining (1000 ms in the program), so that
// counting 32 retries does not take half a minute.
void setEraseDrainTime(int milliseconds);
} // namespace serial_api::testing
