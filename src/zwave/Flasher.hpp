#pragma once
// A connection to the module's UART programming interface while its reset line is held: fixed
// four-byte commands answered by four bytes, from which flash programming and the NVR read are built.
#include "util/View.hpp"
#include "zwave/Chip.hpp"

#include <cstddef>
#include <cstdint>

constexpr size_t SECTOR_SIZE = 2048;
constexpr unsigned SECTOR_COUNT = 64;
constexpr size_t FLASH_SIZE = SECTOR_COUNT * SECTOR_SIZE;
constexpr size_t NVR_SIZE = 256;

class Flasher;

// What the retried flash actions work on; lives on the stack of `flash`.
struct FlashJob {
    Flasher* flasher;
    View image;
    unsigned sector;
};

class Flasher {
public:
    // Switches the chip to programming mode and enables the interface; check `isEnabled`.
    explicit Flasher(Chip& chip);
    Flasher(const Flasher&) = delete;
    Flasher& operator=(const Flasher&) = delete;

    bool isEnabled() const { return enabled; }

    bool enableInterface();
    bool restart();
    bool restartWithRetry();
    bool waitForFMS();

    // Writes the first FLASH_SIZE bytes of `image`, with `retries` further whole runs.
    bool flash(View image, unsigned retries);
    bool writeAllSectors(FlashJob& job);
    bool writeSector(FlashJob& job);
    bool eraseSector(unsigned sector);
    bool writeFlashSector(unsigned sector);
    bool writeSram(unsigned offset, uint8_t value);
    bool continueWrite(const uint8_t* bytes);
    bool writeSectorData(View image, unsigned sector);
    bool crcCheck();

    // The NVR page in the first NVR_SIZE bytes of `into`; an empty view on any failure.
    View readNVR(Span into);

private:
    // Tty open, interface enabled, no cancellation: otherwise a command sends nothing.
    bool ready() const;
    // Sends one command and reads up to four reply bytes into `reply`.
    View exchange(const uint8_t (&command)[4], uint8_t (&reply)[4]);

    Chip& chip;
    bool enabled = false;
};

// True when `received` is exactly the four bytes `expected` starts with; otherwise prints both.
bool checkResponse(TemporaryView received, TemporaryView expected);

// The " Sent: " and "Recvd: " lines of one exchange.
void dumpExchange(TemporaryView sent, TemporaryView received);

// A module that reports busy for longer than this is taken as stuck; the wait fails so that the
// normal retries (a restart, another attempt) take over. A sector erase or write takes at most tens
// of milliseconds and the CRC check of the whole flash well under a few seconds, so the limits are
// far beyond any working module yet keep a stuck one from holding the tool for more than seconds.
struct BusyLimits {
    int fmsMs; // after an erase or a sector write, polled every 5 ms
    int crcMs; // after the CRC command, polled every second
};
constexpr BusyLimits DEFAULT_BUSY_LIMITS = {2000, 10000};

namespace flasher::testing {
// Tests only: shorter busy limits, so that a stuck module costs less than the real bound.
void setBusyLimits(BusyLimits limits);
} // namespace flasher::testing
