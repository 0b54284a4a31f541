#include "util/Console.hpp"
#include "zwave/Flasher.hpp"
#include "zwave/FlasherInternal.hpp"

namespace {
constexpr unsigned NVR_READ_ATTEMPTS = 4;

// The late answer to a command that was sent again and answered already.
bool answersAnEarlierAddress(View received, unsigned address) {
    return received.size() == 4 && received[0] == 0xf2 && received[1] == 0x00 && received[2] < address;
}
} // namespace

View Flasher::readNVR(Span into) {
    if (!ready())
        return View();
    if (into.size() < NVR_SIZE) {
        logLine("Buffer too small for readNVR()");
        return View();
    }
    progressStep("Reading NVR");
    for (unsigned address = 0; address < NVR_SIZE; ++address) {
        const uint8_t command[4] = {0xf2, 0x00, uint8_t(address), 0xff};
        unsigned attempt = 0;
        for (;;) {
            if (!ready())
                return View();
            // A late reply left in the input would answer the retry and put every later read one
            // reply behind: a retried command starts from an empty input.
            if (attempt > 0)
                chip.discardInput();
            uint8_t reply[4];
            View received = exchange(command, reply);
            // This command's own answer may still follow: sending it again would leave one answer
            // in the input for good, and every later read would start with a stale reply.
            for (unsigned stale = 0; answersAnEarlierAddress(received, address) && stale < NVR_READ_ATTEMPTS;
                 ++stale) {
                dumpExchange(command, received);
                received = chip.read(reply, flasher::REPLY_TIMEOUT_MS);
            }
            if (received.size() == 4 && reply[0] == 0xf2 && reply[1] == 0x00 && reply[2] == address) {
                into[address] = reply[3];
                break;
            }
            dumpExchange(command, received);
            if (++attempt == NVR_READ_ATTEMPTS)
                return View();
        }
    }
    return View(into.data(), NVR_SIZE);
}
