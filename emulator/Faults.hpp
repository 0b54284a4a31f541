#pragma once
// Deterministic fault injection. Every fault is one `--fault SPEC` option; counted faults count the
// host's exchanges (good Serial API data frames and programming commands) in arrival order since
// the emulator started, optionally only those of one name (`drop-reply:get-version:2`), and hit
// the N-th or every one from N to M (`drop-reply:get-version:2-4`).
#include "Clock.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// What happens to one exchange: to the host's frame (NAK or no ACK) and to the reply.
struct ExchangeFaults {
    bool dropReply = false;
    bool corruptChecksum = false;
    Nanos delay = 0;
    bool unrelatedFrameFirst = false;
    bool nakFrame = false;
    bool missingAck = false;
    bool canReply = false;
    bool strayByte = false;
    bool replacePayload = false;
    std::vector<uint8_t> payload; // what a Serial API reply carries after its function id instead
};

class Faults {
public:
    // Parses and adds one SPEC; false with `error` for an unknown or malformed one.
    bool add(const std::string& description, std::string& error);

    // Counts one exchange of `name` (e.g. "nvm-read", "continue-write") in `family` (e.g.
    // "nvm-backup-restore", "prog") and returns the faults that hit its reply.
    ExchangeFaults onExchange(const std::string& name, const std::string& family);
    // After `silent-after:K` has seen K exchanges the module answers nothing at all.
    bool silent() const { return silentAfter >= 0 && exchanges >= uint64_t(silentAfter); }

    // Counts one NVM read; true when its reply must carry a wrong offset.
    bool nextNvmReadHasWrongOffset();
    // Counts one write of `sector`; true when it must fail.
    bool sectorWriteFails(unsigned sector);
    // Counts one CRC check; the verdict to report instead of the real one.
    enum class CrcVerdict { Real, Fail, Undecided };
    CrcVerdict nextCrcVerdict();
    // Counts one enable command; true when the module may answer it.
    bool enableAnswered();

    int64_t nvmReportedSize = -1;     // nvm-size:BYTES
    int64_t nvmEofAt = -1;            // nvm-eof-at:BYTES
    int nvrStopAt = -1;               // nvr-stop-at:A
    std::vector<uint8_t> enableReply; // enable-reply:HEX, empty = the echo
    bool busyForever = false;
    unsigned garbageBeforeFrames = 0; // bytes before each frame from the module
    bool bootFail = false;
    bool staleStarted = false;
    bool neverEnable = false;
    // The byte that `stray-byte` puts after a reply.
    static constexpr uint8_t STRAY_BYTE = 0x00;

private:
    struct Counted {
        bool ExchangeFaults::*flag; // null: late-reply, which adds `delay`
        std::string filter;         // empty: every exchange
        uint64_t index, last;       // 1-based, both included
        Nanos delay;
        std::vector<uint8_t> payload;
        uint64_t seen = 0;
    };
    struct Repeatable {
        bool active = false;
        bool always = false;
        bool used = false;
        bool hits() {
            if (!active || (used && !always))
                return false;
            used = true;
            return true;
        }
    };

    std::vector<Counted> counted;
    uint64_t exchanges = 0;
    int64_t silentAfter = -1;
    std::vector<uint64_t> wrongOffsetReads;
    uint64_t nvmReads = 0;
    struct SectorFault {
        unsigned sector;
        bool always;
        bool used = false;
    };
    std::vector<SectorFault> sectorFaults;
    Repeatable crcFail;
    Repeatable crcUndecided;
    uint64_t enableFromTry = 1;
    uint64_t enableTries = 0;
};

// The --help text of the fault options.
extern const char* const FAULTS_HELP;

} // namespace emu
