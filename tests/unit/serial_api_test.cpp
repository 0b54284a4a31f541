// The Serial API link against a scripted module, for what the emulator never sends or a run never
// waits for: malformed frames and their timing, stale callbacks for 32 retries; the size rules'
// messages in the singular and at boundaries the emulator's NVM does not reach. Replies of every
// shape, whole backups and restores and their retries run end to end (the fault matrix).
#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Frame.hpp"
#include "zwave/NVMSizeRules.hpp"
#include "zwave/SerialAPI.hpp"
#include "zwave/nvm_io_exception.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/ScriptedPeer.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Bytes = ScriptedPeer::Bytes;
using Lines = std::vector<std::string>;
// "Z-Wave 4.61", a static controller, with its checksum.
const Bytes VERSION_REPLY = {0x01, 0x10, 0x01, 0x15, 'Z', '-', 'W', 'a', 'v',
                             'e',  ' ',  '4',  '.',  '6', '1', 0,   1,   0x95};

// The module on a pty, answering as scripted, and a connection to it.
struct Link {
    explicit Link(ScriptedPeer::Script script = {}) : peer(ScriptedPeer::Cut::Frames, std::move(script)) {}
    ScriptedPeer peer;
    Chip chip{peer.path(), ChipMode::Run};
    ConsoleCapture console;
    SerialAPI api{chip, false, false};
};

Bytes bytesOf(const Frame& frame) {
    return Bytes(frame.data, frame.data + frame.size);
}

TEST(ReadFrame, MalformedFramesAreDroppedWithinTheTimeoutAllTold) {
    Link link;
    // A start without a length is skipped, and the frame behind it found in what is buffered.
    link.peer.send({0x01, 0x00, 0x7f});
    link.peer.send(VERSION_REPLY);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 5000)), VERSION_REPLY);
    // A frame cut short ends as nothing once the time is over; the next frame stands on its own.
    link.peer.send({0x01, 0x05, 0x01, 0x15, 0x41});
    TimeoutClock clock;
    EXPECT_EQ(readFrame(link.chip, 200).size, 0u);
    EXPECT_GE(clock.elapsed(), 199);
    link.peer.send(VERSION_REPLY);
    EXPECT_EQ(bytesOf(readFrame(link.chip, 5000)), VERSION_REPLY);
    // A false start and a cut frame late in the read do not renew its timeout, which would end at
    // 1500 at the earliest; the shortest of up to three reads counts.
    long long shortest = 1000000;
    for (int round = 0; round < 3 && shortest >= 1400; ++round) {
        std::thread late([&link] { usleep(500 * 1000), link.peer.send({0x01, 0x00, 0x01, 0x05, 0x01}); });
        clock = TimeoutClock();
        EXPECT_EQ(readFrame(link.chip, 1000).size, 0u);
        shortest = std::min(shortest, clock.elapsed());
        late.join();
        EXPECT_GE(clock.elapsed(), 999);
    }
    EXPECT_LT(shortest, 1400);
}

// Set default answered with a stale callback id (0x05) until its `answerOn`th request.
ScriptedPeer::Script setDefaultAnsweredOn(int answerOn) {
    return [requests = 0, answerOn](const Bytes& got) mutable {
        if (got.size() < 4 || got[3] != 0x42)
            return Bytes();
        const uint8_t id = ++requests == answerOn ? 0x07 : 0x05;
        return Bytes{0x01, 0x05, 0x00, 0x42, id, 0x00, uint8_t(0xb8 ^ id)};
    };
}

// An erase tries once and then once per retry, each retry shown; the callback must carry its id.
TEST(SerialAPI, EraseNeedsItsCallbackIdAndTriesOncePerRetry) {
    serial_api::testing::setEraseDrainTime(5);
    Link failing(setDefaultAnsweredOn(0));
    EXPECT_FALSE(failing.api.eraseNVM(32));
    EXPECT_EQ(failing.peer.count({0x42}, 3), 33u);
    Lines status = emutest::messageLines(failing.console.stdoutText());
    EXPECT_EQ(emutest::countLines(status, "Erasing NVM (retry "), 32u);
    EXPECT_TRUE(emutest::hasLine(status, "  0.00% Sector  0/63 addr=0x000000 Erasing NVM (retry 32 of 32)"));
    Link lastChance(setDefaultAnsweredOn(33));
    EXPECT_TRUE(lastChance.api.eraseNVM(32));
    EXPECT_EQ(lastChance.peer.count({0x42}, 3), 33u);
    serial_api::testing::setEraseDrainTime(1000);
}

// `length` bytes of 0x5A followed by `zeros` zero bytes.
std::vector<uint8_t> image(size_t length, size_t zeros) {
    std::vector<uint8_t> bytes(length, 0x5A);
    bytes.resize(length + zeros, 0);
    return bytes;
}

TEST(NVMSizeRules, MessagesInTheSingularAndAtTheBoundaries) {
    const struct {
        size_t dataBytes, zeroBytes;
        uint32_t nvmSize;
        size_t written;
        Lines lines;
    } rows[] = {
        // clang-format off
        {100, 0, 16384, 100, {}},
        {0, 16385, 16384, 16384, {"Info: Truncating NVM image from 16385 to 16384 bytes, discarding 1 of "
                                  "16385 trailing zero-bytes."}},
        {1, 1, 1, 1, {"Info: Truncating NVM image from 2 to 1 byte, discarding 1 of 1 trailing zero-byte."}},
        {2, 1, 1, 2, {"Warning: NVM image (3 bytes) is too big for NVM (1 byte). Still too big by 1 byte, "
                      "after truncating to 2 bytes, by discarding all 1 trailing zero-byte.",
                      "Trying to write anyway, and hoping for the best."}},
        // clang-format on
    };
    for (const auto& row : rows) {
        ConsoleCapture console;
        std::vector<uint8_t> bytes = image(row.dataBytes, row.zeroBytes);
        EXPECT_EQ(nvmWriteLength(View(bytes.data(), bytes.size()), row.nvmSize), row.written) << bytes.size();
        EXPECT_EQ(console.lines(), row.lines);
    }
    ConsoleCapture console;
    const uint8_t two[2] = {1, 2};
    EXPECT_EQ(keptOfNVMRead(View(two, 2), 1).size(), 2u);
    EXPECT_EQ(console.lines(), Lines{"Warning: got more than expected! Got EOF after 2 bytes, "
                                     "but NVM size was reported to be 1 byte"});
    // Zero padding is cut before an image is written, so it does not count against the wire offset.
    std::vector<uint8_t> fits = image(65536, 65536), over = image(65537, 10);
    EXPECT_NO_THROW(checkImageFitsWireOffsets(View(fits.data(), fits.size())));
    EXPECT_THROW(checkImageFitsWireOffsets(View(over.data(), over.size())), nvm_io_exception);
}

} // namespace
