#include "rawio/TimeoutClock.hpp"
#include "util/Console.hpp"
#include "util/Function.hpp"
#include "zwave/Flasher.hpp"
#include "zwave/FlasherInternal.hpp"

using namespace flasher;

namespace {

constexpr uint8_t ERASED = 0xFF;
constexpr uint8_t RUN_CRC_CHECK[4] = {0xc3, 0x00, 0x00, 0x00};
constexpr int CRC_POLL_PAUSE_MS = 1000;

bool writeAllSectorsOf(FlashJob& job) {
    return job.flasher->writeAllSectors(job);
}

bool writeSectorOf(FlashJob& job) {
    return job.flasher->writeSector(job);
}

} // namespace

bool Flasher::flash(View image, unsigned retries) {
    if (!ready())
        return false;
    if (image.size() < FLASH_SIZE) {
        logLine("Error: Firmware image too small for flash(): ", image.size(), " bytes");
        return false;
    }
    FlashJob job{this, image.sub(0, FLASH_SIZE), 0};
    return retry(RetryContext{Function::bind<FlashJob, &writeAllSectorsOf>(job),
                              Function::bind<Flasher, &Flasher::restartWithRetry>(*this), retries,
                              "Retrying in", 2000});
}

bool Flasher::writeAllSectors(FlashJob& job) {
    if (!waitForFMS())
        return false;
    for (unsigned sector = 0; sector < SECTOR_COUNT; ++sector) {
        job.sector = sector;
        if (!retry(RetryContext{Function::bind<FlashJob, &writeSectorOf>(job),
                                Function::bind<Flasher, &Flasher::restartWithRetry>(*this), 4,
                                "Retrying sector in", 500}))
            return false;
    }
    return crcCheck();
}

bool Flasher::writeSector(FlashJob& job) {
    return eraseSector(job.sector) && writeSectorData(job.image, job.sector);
}

bool Flasher::eraseSector(unsigned sector) {
    if (!ready())
        return false;
    progressSector(int(sector), "Erasing");
    const uint8_t command[4] = {0x0b, uint8_t(sector), 0xff, 0xff};
    uint8_t reply[4];
    View received = exchange(command, reply);
    return waitForFMS() && checkResponse(received, command);
}

bool Flasher::writeFlashSector(unsigned sector) {
    if (!ready())
        return false;
    progressDetail("Flash");
    const uint8_t command[4] = {0x20, uint8_t(sector), 0xff, 0xff};
    uint8_t reply[4];
    View received = exchange(command, reply);
    return waitForFMS() && checkResponse(received, command);
}

bool Flasher::writeSram(unsigned offset, uint8_t value) {
    if (!ready())
        return false;
    const uint8_t command[4] = {0x04, uint8_t(offset >> 8), uint8_t(offset), value};
    uint8_t reply[4];
    return checkResponse(exchange(command, reply), command);
}

bool Flasher::continueWrite(const uint8_t* bytes) {
    if (!ready())
        return false;
    const uint8_t command[4] = {0x80, bytes[0], bytes[1], bytes[2]};
    uint8_t reply[4];
    return checkResponse(exchange(command, reply), command);
}

bool Flasher::writeSectorData(View image, unsigned sector) {
    if (!ready())
        return false;
    progressSector(int(sector), "Writing");
    size_t base = sector * SECTOR_SIZE;
    size_t end = base + SECTOR_SIZE;
    size_t first = base;
    while (first < end && image[first] == ERASED)
        ++first;
    if (first == end)
        return true;
    size_t last = end - 1;
    while (image[last] == ERASED)
        --last;
    size_t stop = last + 1;

    progressAddress(unsigned(first), "SRAM");
    size_t pos = first;
    // Leading bytes that do not fit the groups of three go one at a time, each programmed alone.
    while ((stop - 1 - pos) % 3 != 0) {
        if (image[pos] != ERASED &&
            !(writeSram(unsigned(pos - base), image[pos]) && writeFlashSector(sector)))
            return false;
        ++pos;
    }

    progressAddress(unsigned(pos), "SRAM");
    if (!writeSram(unsigned(pos - base), image[pos]))
        return false;
    for (++pos; pos < stop; pos += 3)
        if (!continueWrite(image.data() + pos))
            return false;
    if (pos != stop) {
        logLine("Unexpected position after write-continue command");
        return false;
    }
    return writeFlashSector(sector);
}

bool Flasher::crcCheck() {
    if (!ready())
        return false;
    progressStep("CRC Check");
    uint8_t reply[4];
    // A garbled echo is reported, but only the state the module ends in decides.
    checkResponse(exchange(RUN_CRC_CHECK, reply), RUN_CRC_CHECK);
    int limitMs = busyLimits().crcMs;
    TimeoutClock clock;
    for (;;) {
        View received = exchange(CHECK_STATE, reply);
        if (received.size() < 4) {
            dumpExchange(CHECK_STATE, received);
            return false;
        }
        progressDetail("Waiting");
        if (reply[3] & STATE_CRC_FAILED) {
            progressStep("CRC check failed");
            return false;
        }
        if (reply[3] & STATE_CRC_PASSED) {
            progressStep("Done");
            return true;
        }
        if ((reply[3] & STATE_BUSY) == 0) {
            logLine("CRC check neither failed nor succeeded");
            return false;
        }
        if (clock.remaining(limitMs) == 0) {
            dumpExchange(CHECK_STATE, received);
            logLine("Error: CRC check still busy after ", limitMs, " ms");
            return false;
        }
        if (!pauseUnlessCancelled(CRC_POLL_PAUSE_MS))
            return false;
    }
}
