#pragma once
// The running firmware's Serial API: ACK/NAK of host frames, the module's own frames with their
// resends, and the commands the tool uses (get version, soft reset, set default, NVM
// backup/restore). Function ids it does not know are ACKed and otherwise ignored.
#include "FirmwareIdentity.hpp"
#include "ModuleContext.hpp"
#include "SerialFrame.hpp"

#include <deque>
#include <string>
#include <vector>

namespace emu {

constexpr uint8_t FUNC_SOFT_RESET = 0x08;
constexpr uint8_t FUNC_STARTED = 0x0A;
constexpr uint8_t FUNC_GET_VERSION = 0x15;
constexpr uint8_t FUNC_NVM_BACKUP_RESTORE = 0x2E;
constexpr uint8_t FUNC_SET_DEFAULT = 0x42;
constexpr uint8_t FUNC_UNRELATED = 0x49; // application update, which a real network sends at random
constexpr unsigned MAX_RESENDS = 3;

const char* functionName(uint8_t functionId);
// The notification the firmware sends once it has booted.
std::vector<uint8_t> startedFrame();

class SerialApiSide {
public:
    explicit SerialApiSide(ModuleContext& context) : context(context) {}

    // The firmware has booted: sends the started notification.
    void start(const FirmwareIdentity& identity, Nanos now);
    // The firmware stops (reset or reboot): forgets every pending frame and operation.
    void stop();
    bool isRunning() const { return running; }

    void onByte(uint8_t byte, Nanos now);
    void onTimer(Nanos now);
    Nanos nextDeadline() const;
    // A soft reset was asked for; the caller reboots the module.
    bool takeRebootRequest();

private:
    struct Outgoing {
        std::vector<uint8_t> bytes;
        Nanos notBefore = 0;
        bool corruptFirst = false;
        bool strayAfter = false;
        std::string name;
    };

    void handleFrame(const std::vector<uint8_t>& frame, const std::string& name, const ExchangeFaults& faults,
                     Nanos now);
    void handleNvm(const std::vector<uint8_t>& frame, const ExchangeFaults& faults, Nanos now);
    void reply(std::vector<uint8_t> frame, const std::string& name, const ExchangeFaults& faults, Nanos now);
    void transmit(Nanos now);
    void pump(Nanos now);

    ModuleContext& context;
    bool running = false;
    FirmwareIdentity identity;
    HostFrameParser parser;
    std::deque<Outgoing> queue;
    bool awaitingAck = false;
    Nanos ackDeadline = NEVER;
    Outgoing current;
    unsigned resends = 0;
    Nanos setDefaultAt = NEVER;
    uint8_t setDefaultCallback = 0;
    ExchangeFaults setDefaultFaults;
    bool nvmOpen = false;
    bool rebootRequested = false;
};

} // namespace emu
