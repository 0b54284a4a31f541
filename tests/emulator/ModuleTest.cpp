// The emulated module driven in process, only where its fidelity decides whether an end-to-end row
// can catch a fault of the tool and no row would notice it being lenient: it boots only after its
// delay, and the host's frames are told from noise, the emulator's evidence that nothing stray
// reached the UART. Busy states and the SRAM's erasure after each sector show in the flash rows.
#include "Module.hpp"
#include "GeneratedContent.hpp"
#include "SerialFrame.hpp"

#include <gtest/gtest.h>

using namespace emu;
using Bytes = std::vector<uint8_t>;

// A module that answered at once would let a tool that does not wait for the started notification
// pass every row.
TEST(Module, StartsOnlyAfterItsBootDelay) {
    ModuleState state;
    state.flash = makeFirmwareImage({.version = "Z-Wave 4.62", .libraryType = 1, .nvmSize = 16384}, 4096);
    Faults faults;
    Trace trace;
    PacedQueue toHost;
    ModuleContext context{state, faults, trace, toHost, Timing{}};
    const Nanos booted = millis(1000) + context.timing.bootDelay;
    Module module(context, 1, millis(1000));
    uint8_t buffer[64];
    module.onTimer(booted - millis(1));
    EXPECT_EQ(toHost.takeDue(booted - millis(1), buffer, sizeof buffer), 0u);
    module.onTimer(booted);
    ASSERT_EQ(toHost.takeDue(booted, buffer, sizeof buffer), 11u);
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
    // A good and a bad frame, the control bytes, a stray byte, then SOF with a length too short to be
    // a frame.
    feed({0x01, 0x03, 0x00, 0x15, 0xe9, 0x01, 0x03, 0x00, 0x15, 0xe8, 0x06, 0x15, 0x18, 0x7f, 0x01, 0x02}, 0);
    EXPECT_EQ(results, (std::vector<Result>{Result::GoodFrame, Result::BadFrame, Result::Ack, Result::Nak,
                                            Result::Can, Result::Noise, Result::Noise}));
    // A start whose bytes stop arriving is forgotten, not completed by the next frame 1.6 s later.
    results.clear();
    feed({0x01, 0x05, 0x00}, 0);
    feed({0x01, 0x03, 0x00, 0x15, 0xe9}, millis(1600));
    EXPECT_EQ(results, std::vector<Result>{Result::GoodFrame});
    EXPECT_EQ(parser.frame(), (Bytes{0x01, 0x03, 0x00, 0x15, 0xe9}));
}
