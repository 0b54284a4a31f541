// The emulated module driven in process, only where its fidelity decides whether an end-to-end row
// can catch a fault of the tool and no row would notice it being lenient: the programming interface
// reports busy while it works and its SRAM reads erased after each sector; the host's frames are told
// from noise, the emulator's evidence that nothing stray reached the UART. The enables, resends and
// the exchanges a counted fault hits show as exact counts in the end-to-end rows' traces.
#include "Module.hpp"
#include "GeneratedContent.hpp"
#include "SerialFrame.hpp"

#include <gtest/gtest.h>

using namespace emu;
using Bytes = std::vector<uint8_t>;

TEST(Module, ASectorIsProgrammedThroughTheSramWhileBusyIsReported) {
    ModuleState state;
    state.flash = makeFirmwareImage({.version = "Z-Wave 4.62", .libraryType = 1, .nvmSize = 16384}, 4096);
    state.nvm = populatedStaticNvm();
    Faults faults;
    Trace trace;
    PacedQueue toHost{0};
    ModuleContext context{state, faults, trace, toHost, Timing{}};
    context.timing.eraseBusy = millis(20);
    Nanos now = millis(1000);
    Module module(context, 0, now); // held in reset: the programming interface
    // The bytes the module sends after taking `bytes` from the host.
    auto send = [&](const Bytes& bytes) {
        for (uint8_t byte : bytes)
            module.onHostByte(byte, now);
        module.onTimer(now);
        uint8_t buffer[64];
        return Bytes(buffer, buffer + toHost.takeDue(now, buffer, sizeof buffer));
    };
    module.onTimer(now += millis(25));
    send({0xac, 0x53, 0xaa, 0x55});
    EXPECT_EQ(send({0x0b, 0x03, 0xff, 0xff}), (Bytes{0x0b, 0x03, 0xff, 0xff}));
    EXPECT_EQ(send({0x7f, 0xfe, 0x00, 0x00}).at(3), STATE_BUSY);
    module.onTimer(now += millis(21));
    EXPECT_EQ(send({0x7f, 0xfe, 0x00, 0x00}).at(3), 0);
    // Offset 10 alone, then 11 and a continue-write with 12, 13, 14.
    send({0x04, 0x00, 0x0a, 0xa0});
    send({0x20, 0x03, 0xff, 0xff});
    send({0x04, 0x00, 0x0b, 0xb1});
    EXPECT_EQ(send({0x80, 0xc2, 0xd3, 0xe4}), (Bytes{0x80, 0xc2, 0xd3, 0xe4}));
    send({0x20, 0x03, 0xff, 0xff});
    const uint8_t* sector = state.flash.data() + 3 * SECTOR_SIZE;
    EXPECT_EQ(Bytes(sector + 10, sector + 15), (Bytes{0xa0, 0xb1, 0xc2, 0xd3, 0xe4}));
    EXPECT_EQ(std::count(sector, sector + SECTOR_SIZE, 0xFF), long(SECTOR_SIZE - 5))
        << "the SRAM reads erased after each sector write";
}

// A module that answered at once would let a tool that does not wait for the started notification
// pass every row.
TEST(Module, StartsOnlyAfterItsBootDelay) {
    ModuleState state;
    state.flash = makeFirmwareImage({.version = "Z-Wave 4.62", .libraryType = 1, .nvmSize = 16384}, 4096);
    state.nvm = populatedStaticNvm();
    Faults faults;
    Trace trace;
    PacedQueue toHost{0};
    ModuleContext context{state, faults, trace, toHost, Timing{}};
    Nanos now = millis(1000);
    Module module(context, 1, now);
    uint8_t buffer[64];
    module.onTimer(now + context.timing.bootDelay - millis(1));
    EXPECT_EQ(toHost.takeDue(now + context.timing.bootDelay - millis(1), buffer, sizeof buffer), 0u);
    module.onTimer(now += context.timing.bootDelay);
    ASSERT_EQ(toHost.takeDue(now, buffer, sizeof buffer), 11u);
    EXPECT_EQ(buffer[3], 0x0a) << "the started notification";
}

TEST(HostFrameParser, TellsFramesFromControlBytesAndNoiseAndDropsAStaleStart) {
    using Result = HostFrameParser::Result;
    HostFrameParser parser;
    std::vector<Result> results;
    auto feed = [&](const Bytes& bytes, Nanos at) {
        for (uint8_t byte : bytes)
            if (Result result = parser.feed(byte, at); result != Result::Nothing)
                results.push_back(result);
    };
    feed({0x01, 0x03, 0x00, 0x15, 0xe9, 0x01, 0x03, 0x00, 0x15, 0xe8, 0x06, 0x15, 0x18}, 0);
    // A stray byte, then SOF with a length too short to be a frame.
    feed({0x7f, 0x01, 0x02}, 0);
    EXPECT_EQ(results, (std::vector<Result>{Result::GoodFrame, Result::BadFrame, Result::Ack, Result::Nak,
                                            Result::Can, Result::Noise, Result::Noise}));
    // A start whose bytes stop arriving is forgotten, not completed by the next frame 1.6 s later.
    results.clear();
    feed({0x01, 0x05, 0x00}, 0);
    feed({0x01, 0x03, 0x00, 0x15, 0xe9}, millis(1600));
    EXPECT_EQ(results, std::vector<Result>{Result::GoodFrame});
    EXPECT_EQ(parser.frame(), (Bytes{0x01, 0x03, 0x00, 0x15, 0xe9}));
}
