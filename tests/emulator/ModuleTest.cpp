// The emulated module driven in process, only where its fidelity decides whether an end-to-end row
// can catch a fault of the tool and no row would notice it being lenient: the programming interface
// answers only once enabled and must be enabled again after a restart, and reports busy while it
// works; the Serial API side NAKs bad frames and resends its own on NAK (three times at most);
// counted faults hit only the exchange they name; the host's frames are told from noise, the
// emulator's evidence that nothing stray reached the UART. (A lenient CRC check would not hide a
// wrong image: the flash rows compare the module's flash with an independently computed CRC.)
#include "Module.hpp"
#include "GeneratedContent.hpp"
#include "SerialFrame.hpp"

#include <gtest/gtest.h>

using namespace emu;
using Bytes = std::vector<uint8_t>;

namespace {

class ModuleTest : public ::testing::Test {
protected:
    void boot(int level, const std::vector<std::string>& faultSpecs = {}) {
        state.flash = makeFirmwareImage({.version = "Z-Wave 4.62", .libraryType = 1, .nvmSize = 16384}, 4096);
        state.nvm = populatedStaticNvm();
        state.nvr = defaultNvr();
        std::string error;
        for (const std::string& description : faultSpecs)
            ASSERT_TRUE(faults.add(description, error)) << error;
        module = std::make_unique<Module>(context, level, now);
        advance(millis(25));
        if (!send({}).empty())
            send({ACK}); // the started notification
    }
    void advance(Nanos by) { module->onTimer(now += by); }
    // The bytes the module sends after taking `bytes` from the host.
    Bytes send(const Bytes& bytes) {
        for (uint8_t byte : bytes)
            module->onHostByte(byte, now);
        module->onTimer(now);
        uint8_t buffer[4096];
        return Bytes(buffer, buffer + toHost.takeDue(now, buffer, sizeof buffer));
    }
    // A host request and the module's reply frame (after its ACK), ACKed like the tool does.
    Bytes request(uint8_t function, const Bytes& payload) {
        Bytes out = send(buildFrame(REQUEST, function, payload));
        EXPECT_EQ(out.empty() ? 0 : out[0], ACK);
        out.erase(out.begin(), out.begin() + (out.empty() ? 0 : 1));
        if (!out.empty())
            send({ACK});
        return out;
    }
    uint8_t checkState() { return send({0x7f, 0xfe, 0x00, 0x00}).at(3); }

    Nanos now = millis(1000);
    ModuleState state;
    Faults faults;
    Trace trace;
    PacedQueue toHost{0};
    ModuleContext context{state, faults, trace, toHost, Timing{}};
    std::unique_ptr<Module> module;
};

const Bytes ENABLE = {0xac, 0x53, 0xaa, 0x55};
const Bytes VERSION_TEXT = {'Z', '-', 'W', 'a', 'v', 'e', ' ', '4', '.', '6', '2', 0x00, 0x01};

} // namespace

TEST_F(ModuleTest, ProgrammingInterfaceAnswersOnlyOnceEnabledAndAgainAfterARestart) {
    boot(0);
    EXPECT_EQ(send({0x7f, 0xfe, 0x00, 0x00}), Bytes{});
    // The enable sequence is found behind stray bytes.
    EXPECT_EQ(send({0x00, 0xac, 0x53, 0xaa, 0x55}), ENABLE);
    EXPECT_EQ(send({0xf2, 0x00, 0x07, 0xff}), (Bytes{0xf2, 0x00, 0x07, state.nvr[7]}));
    // A short release and re-assert restarts the interface without booting the firmware.
    module->setResetLevel(1, now);
    advance(millis(7));
    module->setResetLevel(0, now + 500000);
    advance(millis(30));
    EXPECT_EQ(module->mode(), Module::Mode::Reset);
    EXPECT_EQ(send({}), Bytes{});
    EXPECT_EQ(send({0x7f, 0xfe, 0x00, 0x00}), Bytes{});
    EXPECT_EQ(send(ENABLE), ENABLE);
}

TEST_F(ModuleTest, ASectorIsProgrammedThroughTheSramWhileBusyIsReported) {
    context.timing.eraseBusy = millis(20);
    boot(0);
    send(ENABLE);
    EXPECT_EQ(send({0x0b, 0x03, 0xff, 0xff}), (Bytes{0x0b, 0x03, 0xff, 0xff}));
    EXPECT_EQ(checkState(), STATE_BUSY);
    advance(millis(21));
    EXPECT_EQ(checkState(), 0);
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

TEST_F(ModuleTest, BadFramesAreNakedAndAFrameNakedByTheHostIsSentThreeTimesMore) {
    boot(1, {"corrupt-checksum:get-version:1"});
    EXPECT_EQ(send({0x01, 0x03, 0x00, 0x15, 0x00}), Bytes{NAK});
    Bytes out = send(buildFrame(REQUEST, 0x15, {}));
    Bytes good = buildFrame(RESPONSE, 0x15, VERSION_TEXT);
    ASSERT_EQ(out.size(), good.size() + 1);
    EXPECT_NE(out.back(), good.back()) << "the first copy carries a bad checksum";
    EXPECT_EQ(send({NAK}), good);
    send({ACK});
    send(buildFrame(REQUEST, 0x15, {}));
    for (int resend = 0; resend < 3; ++resend)
        EXPECT_EQ(send({NAK}), good);
    EXPECT_EQ(send({NAK}), Bytes{});
}

TEST_F(ModuleTest, CountedFaultsHitOnlyTheExchangeTheyName) {
    boot(1, {"drop-reply:get-version:2", "late-reply:nvm-open:1:100", "unrelated-frame-first:nvm-close:1"});
    EXPECT_FALSE(request(0x15, {}).empty());
    EXPECT_TRUE(request(0x15, {}).empty()) << "second get version dropped";
    EXPECT_FALSE(request(0x15, {}).empty());
    EXPECT_EQ(send(buildFrame(REQUEST, 0x2e, {0x00})), Bytes{ACK});
    advance(millis(99));
    EXPECT_EQ(send({}), Bytes{});
    advance(millis(1));
    EXPECT_EQ(send({}), buildFrame(RESPONSE, 0x2e, {0x00, 0x00, 0x40, 0x00}));
    send({ACK});
    Bytes unrelated = send(buildFrame(REQUEST, 0x2e, {0x03}));
    ASSERT_GT(unrelated.size(), 4u);
    EXPECT_EQ(unrelated[4], FUNC_UNRELATED);
    EXPECT_EQ(send({ACK}), buildFrame(RESPONSE, 0x2e, {0x00, 0x00, 0x00, 0x00})) << "the reply follows";
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
