// The NVM exchange's replies the emulator never sends: each malformed reply must end the exchange
// with its own message instead of storing wrong bytes. The size rules, the attempt counts and the
// whole backup and restore run against the emulator (tests/e2e/nvm_e2e_test.cpp).
#include "zwave/Chip.hpp"
#include "zwave/NVM.hpp"
#include "zwave/SerialAPI.hpp"

#include "../support/ScriptedPeer.hpp"
#include "support/ConsoleCapture.hpp"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using Bytes = ScriptedPeer::Bytes;

Bytes reply(uint8_t status, uint8_t length, uint16_t offset, const Bytes& data = {}) {
    Bytes payload = {status, length, uint8_t(offset >> 8), uint8_t(offset)};
    payload.insert(payload.end(), data.begin(), data.end());
    return ScriptedPeer::response(0x2E, payload);
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

// A peer that answers every frame with `answer`, and a connection to it.
struct Link {
    explicit Link(Bytes answer)
        : peer([answer](const Bytes& got) { return got.size() > 3 ? answer : Bytes(); }),
          chip(peer.path(), ChipMode::Run) {}
    ScriptedPeer peer;
    Chip chip;
    ConsoleCapture console;
    SerialAPI api{chip, false, false};
};

struct FaultCase {
    const char* what;
    Bytes reply;
    const char* message;
};

TEST(NVMExchange, FaultyReadRepliesRaise) {
    const FaultCase cases[] = {
        {"short reply", ScriptedPeer::response(0x2E, {0x00, 0x00, 0x00}),
         "invalid nvm read response from chip"},
        {"error status", reply(1, 0, 0), "nvm read error"},
        {"unknown status", reply(7, 0, 0), "invalid nvm read response from chip"},
        {"wrong offset", reply(0, 1, 64, {0xAA}), "unexpected nvm range received"},
        {"length beyond data", reply(0, 3, 0, {0xAA, 0xBB}),
         "nvm buffer in response shorter than specified in header"},
        {"more than the buffer", reply(0, 5, 0, {1, 2, 3, 4, 5}), "local nvm buffer overflow"},
    };
    for (const FaultCase& c : cases) {
        Link link(c.reply);
        uint8_t buffer[4];
        EXPECT_EQ(messageOf([&] { readChunk(link.api, 0, Span(buffer)); }), c.message) << c.what;
    }
    // A read that never advances raises instead of asking forever.
    Link stuck(reply(0, 0, 0));
    uint8_t buffer[64];
    EXPECT_EQ(messageOf([&] { readAll(stuck.api, Span(buffer)); }), "invalid nvm read response from chip");
}

TEST(NVMExchange, FaultyWriteRepliesRaise) {
    const FaultCase cases[] = {
        {"short reply", ScriptedPeer::response(0x2E, {0x00, 0x04}), "invalid nvm write response from chip"},
        {"unknown status", reply(2, 4, 0), "invalid nvm write response from chip"},
        {"wrong offset", reply(0, 4, 64), "nvm write at unexpected offset"},
        {"end status", reply(255, 4, 0), "nvm write error"},
        {"nothing written", reply(0, 0, 0), "unexpected write size"},
    };
    const uint8_t image[] = {1, 2, 3, 4};
    for (const FaultCase& c : cases) {
        Link link(c.reply);
        EXPECT_EQ(messageOf([&] { writeAll(link.api, View(image, 4)); }), c.message) << c.what;
    }
    Link silent{Bytes()};
    EXPECT_EQ(messageOf([&] { writeChunk(silent.api, 4, View(image, 4)); }), "empty NVM write");
    // Past the 16-bit wire offset a write would land at the start of the NVM instead.
    std::vector<uint8_t> large(65600, 0x5A);
    EXPECT_EQ(messageOf([&] { writeChunk(silent.api, 65536, View(large.data(), large.size())); }),
              "NVM image too large");
}

TEST(NVMExchange, BufferAndConnectionPreconditions) {
    // An NVM larger than the caller's buffer is refused once the open reports its size.
    Link link(reply(0, 0, 16384));
    uint8_t small[16383];
    EXPECT_EQ(messageOf([&] { backupNVM(link.api, Span(small)); }), "NVM is larger than supplied buffer");

    ConsoleCapture console;
    Chip chip("/nonexistent/tty", ChipMode::Run);
    SerialAPI api(chip, false, false);
    uint8_t buffer[64];
    EXPECT_TRUE(backupNVM(api, Span(buffer)).empty());
    EXPECT_EQ(messageOf([&] { restoreNVM(api, View(buffer, 64), 3); }), "Serial API not open");
    EXPECT_THROW(restoreNVM(api, View(buffer, 64), 3), std::invalid_argument);
}

} // namespace
