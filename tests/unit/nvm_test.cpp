// The NVM exchange against replies the emulator never sends: each malformed reply ends the
// exchange with its own message instead of storing wrong bytes. And the size rules' messages in
// the singular and at the boundaries the emulator's NVM does not reach; the usual sizes, attempt
// counts and whole backups and restores run end to end (tests/e2e/nvm_e2e_test.cpp).
#include "zwave/Chip.hpp"
#include "zwave/NVM.hpp"
#include "zwave/NVMSizeRules.hpp"
#include "zwave/SerialAPI.hpp"
#include "zwave/nvm_io_exception.hpp"

#include "support/ConsoleCapture.hpp"
#include "support/ScriptedPeer.hpp"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using Bytes = ScriptedPeer::Bytes;

Bytes reply(uint8_t status, uint8_t length, uint16_t offset, const Bytes& data = {}) {
    Bytes payload = {status, length, uint8_t(offset >> 8), uint8_t(offset)};
    payload.insert(payload.end(), data.begin(), data.end());
    return ScriptedPeer::frame(0x01, 0x2E, payload);
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

// A module that answers every frame with `answer`, and a connection to it.
struct Link {
    explicit Link(Bytes answer)
        : peer(ScriptedPeer::Cut::Frames,
               [answer](const Bytes& got, size_t) { return got.size() > 3 ? answer : Bytes(); }),
          chip(peer.path(), ChipMode::Run) {}
    ScriptedPeer peer;
    Chip chip;
    ConsoleCapture console;
    SerialAPI api{chip, false, false};
};

// Each reply, given to every request, and the message of the exchange it ends.
using FaultCase = std::pair<Bytes, std::string>;

TEST(NVMExchange, FaultyReadRepliesRaise) {
    const FaultCase cases[] = {
        {ScriptedPeer::frame(0x01, 0x2E, {0x00, 0x00, 0x00}), "invalid nvm read response from chip"},
        {reply(1, 0, 0), "nvm read error"},
        {reply(7, 0, 0), "invalid nvm read response from chip"},
        {reply(0, 3, 0, {0xAA, 0xBB}), "nvm buffer in response shorter than specified in header"},
        {reply(0, 5, 0, {1, 2, 3, 4, 5}), "local nvm buffer overflow"},
    };
    for (const auto& [answer, message] : cases) {
        Link link(answer);
        uint8_t buffer[4];
        EXPECT_EQ(messageOf([&] { readChunk(link.api, 0, Span(buffer)); }), message);
    }
    // A read that never advances raises instead of asking forever.
    Link stuck(reply(0, 0, 0));
    uint8_t buffer[64];
    EXPECT_EQ(messageOf([&] { readAll(stuck.api, Span(buffer)); }), "invalid nvm read response from chip");
    // An NVM larger than the caller's buffer is refused once the open reports its size.
    Link large(reply(0, 0, 16384));
    uint8_t small[16383];
    EXPECT_EQ(messageOf([&] { backupNVM(large.api, Span(small)); }), "NVM is larger than supplied buffer");
}

TEST(NVMExchange, FaultyWriteRepliesRaise) {
    const FaultCase cases[] = {
        {ScriptedPeer::frame(0x01, 0x2E, {0x00, 0x04}), "invalid nvm write response from chip"},
        {reply(2, 4, 0), "invalid nvm write response from chip"},
        {reply(0, 4, 64), "nvm write at unexpected offset"},
        {reply(255, 4, 0), "nvm write error"},
        {reply(0, 0, 0), "unexpected write size"},
    };
    const uint8_t image[] = {1, 2, 3, 4};
    for (const auto& [answer, message] : cases) {
        Link link(answer);
        EXPECT_EQ(messageOf([&] { writeAll(link.api, View(image, 4)); }), message);
    }
    Link silent{Bytes()};
    EXPECT_EQ(messageOf([&] { writeChunk(silent.api, 4, View(image, 4)); }), "empty NVM write");
    // Past the 16-bit wire offset a write would land at the start of the NVM instead.
    std::vector<uint8_t> large(65600, 0x5A);
    EXPECT_EQ(messageOf([&] { writeChunk(silent.api, 65536, View(large.data(), large.size())); }),
              "NVM image too large");
    // A restore without an open connection is refused before anything else.
    ConsoleCapture console;
    Chip closed("/nonexistent/tty", ChipMode::Run);
    SerialAPI api(closed, false, false);
    EXPECT_THROW(restoreNVM(api, View(image, 4), 3), std::invalid_argument);
}

// `length` bytes of 0x5A followed by `zeros` zero bytes.
std::vector<uint8_t> image(size_t length, size_t zeros) {
    std::vector<uint8_t> bytes(length, 0x5A);
    bytes.resize(length + zeros, 0);
    return bytes;
}

View viewOf(const std::vector<uint8_t>& bytes) {
    return View(bytes.data(), bytes.size());
}

TEST(NVMSizeRules, MessagesInTheSingularAndAtTheBoundaries) {
    struct Case {
        size_t dataBytes, zeroBytes;
        uint32_t nvmSize;
        size_t written;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {100, 0, 16384, 100, {}},
        {0,
         16385,
         16384,
         16384,
         {"Info: Truncating NVM image from 16385 to 16384 bytes, discarding 1 of 16385 trailing "
          "zero-bytes."}},
        {1, 1, 1, 1, {"Info: Truncating NVM image from 2 to 1 byte, discarding 1 of 1 trailing zero-byte."}},
        {2,
         1,
         1,
         2,
         {"Warning: NVM image (3 bytes) is too big for NVM (1 byte). Still too big by 1 byte, after "
          "truncating "
          "to 2 bytes, by discarding all 1 trailing zero-byte.",
          "Trying to write anyway, and hoping for the best."}},
    };
    for (const Case& c : cases) {
        ConsoleCapture console;
        std::vector<uint8_t> bytes = image(c.dataBytes, c.zeroBytes);
        EXPECT_EQ(nvmWriteLength(viewOf(bytes), c.nvmSize), c.written) << bytes.size();
        EXPECT_EQ(console.lines(), c.lines);
    }

    ConsoleCapture console;
    std::vector<uint8_t> two = image(2, 0);
    EXPECT_EQ(keptOfNVMRead(viewOf(two), 1).size(), 2u);
    EXPECT_EQ(console.lines(),
              std::vector<std::string>{"Warning: got more than expected! Got EOF after 2 bytes, "
                                       "but NVM size was reported to be 1 byte"});

    // Zero padding is cut before an image is written, so it does not count against the wire offset.
    EXPECT_NO_THROW(checkImageFitsWireOffsets(viewOf(image(65536, 65536))));
    EXPECT_THROW(checkImageFitsWireOffsets(viewOf(image(65537, 10))), nvm_io_exception);
}

} // namespace
