// The emulated module driven in process, where its own logic is not trivial: the programming
// interface's enable and restart, sector programming through the SRAM, the CRC check, booting,
// NVM writes and set default, resending on NAK and counted faults. Reads of the whole NVM, the
// boot of an erased flash and the other faults are exercised through the tool end to end and in
// the scripted pty session.
#include "Module.hpp"
#include "GeneratedContent.hpp"

#include <gtest/gtest.h>

using namespace emu;
using Bytes = std::vector<uint8_t>;

namespace {

// A module driven in process: bytes in, bytes out, time advanced by hand.
class ModuleTest : public ::testing::Test {
protected:
    void boot(int level, const std::vector<std::string>& faultSpecs = {}) {
        FirmwareIdentity identity;
        identity.version = "Z-Wave 4.62";
        identity.libraryType = 1;
        identity.nvmSize = 16384;
        state.flash = makeFirmwareImage(identity, 4096);
        state.nvm = populatedStaticNvm();
        state.nvr = defaultNvr();
        for (const std::string& description : faultSpecs) {
            std::string error;
            ASSERT_TRUE(faults.add(description, error)) << error;
        }
        module = std::make_unique<Module>(context, level, now);
        advance(millis(25));
        if (!take().empty())
            send({ACK}); // the started notification
    }
    void advance(Nanos by) {
        now += by;
        module->onTimer(now);
    }
    Bytes send(const Bytes& bytes) {
        for (uint8_t byte : bytes)
            module->onHostByte(byte, now);
        module->onTimer(now);
        return take();
    }
    Bytes take() {
        uint8_t buffer[4096];
        size_t count = toHost.takeDue(now, buffer, sizeof buffer);
        return Bytes(buffer, buffer + count);
    }
    // A host request and the module's reply frame, ACKed like the tool does.
    Bytes request(uint8_t function, const Bytes& payload) {
        Bytes out = send(buildFrame(REQUEST, function, payload));
        EXPECT_FALSE(out.empty());
        EXPECT_EQ(out[0], ACK);
        out.erase(out.begin());
        if (!out.empty())
            send({ACK});
        return out;
    }

    Nanos now = millis(1000);
    ModuleState state;
    Faults faults;
    Trace trace;
    PacedQueue toHost{0};
    ModuleContext context{state, faults, trace, toHost, Timing{}};
    std::unique_ptr<Module> module;
};

const Bytes ENABLE = {0xac, 0x53, 0xaa, 0x55};
const Bytes CHECK_STATE = {0x7f, 0xfe, 0x00, 0x00};

} // namespace

TEST_F(ModuleTest, ProgrammingInterfaceAnswersOnlyOnceEnabled) {
    boot(0);
    EXPECT_EQ(send(CHECK_STATE), Bytes{});
    // The enable sequence is found behind stray bytes.
    EXPECT_EQ(send({0x00, 0xac, 0x53, 0xaa, 0x55}), ENABLE);
    EXPECT_EQ(send(CHECK_STATE), (Bytes{0x7f, 0xfe, 0x00, 0x00}));
    EXPECT_EQ(send({0xf2, 0x00, 0x07, 0xff}), (Bytes{0xf2, 0x00, 0x07, state.nvr[7]}));
    // A 7.5 ms release and re-assert restarts the interface (without booting the firmware): it
    // must be enabled again.
    module->setResetLevel(1, now);
    advance(millis(7));
    module->setResetLevel(0, now + 500000);
    advance(millis(30));
    EXPECT_EQ(module->mode(), Module::Mode::Reset);
    EXPECT_EQ(take(), Bytes{});
    EXPECT_EQ(send(CHECK_STATE), Bytes{});
    EXPECT_EQ(send(ENABLE), ENABLE);
}

TEST_F(ModuleTest, SectorIsLoadedThroughSramAndProgrammedWithBusyTimes) {
    context.timing.eraseBusy = millis(20);
    boot(0);
    send(ENABLE);
    EXPECT_EQ(send({0x0b, 0x03, 0xff, 0xff}), (Bytes{0x0b, 0x03, 0xff, 0xff}));
    EXPECT_EQ(send(CHECK_STATE)[3], STATE_BUSY);
    advance(millis(21));
    EXPECT_EQ(send(CHECK_STATE)[3], 0);
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
    EXPECT_TRUE(state.flashDirty);
}

TEST_F(ModuleTest, CrcCheckJudgesTheFlashAgainstItsLastFourBytes) {
    context.timing.crcBusy = millis(50);
    boot(0);
    send(ENABLE);
    EXPECT_EQ(send({0xc3, 0x00, 0x00, 0x00}), (Bytes{0xc3, 0x00, 0x00, 0x00}));
    EXPECT_EQ(send(CHECK_STATE)[3], STATE_BUSY);
    advance(millis(51));
    EXPECT_EQ(send(CHECK_STATE)[3], STATE_CRC_PASSED);
    // Sector 0 erased: the stored CRC no longer matches.
    send({0x0b, 0x00, 0xff, 0xff});
    advance(millis(5));
    send({0xc3, 0x00, 0x00, 0x00});
    advance(millis(51));
    EXPECT_EQ(send(CHECK_STATE)[3], STATE_CRC_FAILED);
}

TEST_F(ModuleTest, BootsOnReleaseAndAnswersTheSerialApi) {
    boot(0);
    module->setResetLevel(1, now);
    advance(millis(19));
    EXPECT_EQ(take(), Bytes{}) << "still booting";
    advance(millis(1));
    EXPECT_EQ(take(), buildFrame(REQUEST, 0x0a, {0x00, 0x00, 0x01, 0x02, 0x01, 0x00}));
    send({ACK});
    Bytes version = request(0x15, {});
    Bytes text = {'Z', '-', 'W', 'a', 'v', 'e', ' ', '4', '.', '6', '2', 0x00, 0x01};
    EXPECT_EQ(version, buildFrame(RESPONSE, 0x15, text));
    EXPECT_EQ(version.size(), 18u);
    // Unknown function ids are ACKed and otherwise ignored.
    EXPECT_EQ(send(buildFrame(REQUEST, 0x20, {})), Bytes{ACK});
    // A bad checksum is NAKed.
    EXPECT_EQ(send({0x01, 0x03, 0x00, 0x15, 0x00}), Bytes{NAK});
}

TEST_F(ModuleTest, NvmRestoreWritesAndSetDefaultResetsToTheFirmwareDefault) {
    boot(1);
    request(0x2e, {0x00});
    Bytes write = {0x02, 0x03, 0x12, 0x34, 0xaa, 0xbb, 0xcc};
    EXPECT_EQ(request(0x2e, write), buildFrame(RESPONSE, 0x2e, {0x00, 0x03, 0x12, 0x34}));
    EXPECT_EQ(Bytes(state.nvm.begin() + 0x1234, state.nvm.begin() + 0x1237), (Bytes{0xaa, 0xbb, 0xcc}));
    // A write that does not fit reports the end of the NVM.
    EXPECT_EQ(request(0x2e, {0x02, 0x02, 0x3f, 0xff, 0x01, 0x02})[4], 0xff);

    EXPECT_EQ(send(buildFrame(REQUEST, 0x42, {0x07})), Bytes{ACK});
    advance(millis(4));
    EXPECT_EQ(take(), Bytes{}) << "set default takes its time";
    advance(millis(2));
    EXPECT_EQ(take(), buildFrame(REQUEST, 0x42, {0x07}));
    EXPECT_EQ(state.nvm, defaultNvm(*identifyFlash(state.flash)));
}

TEST_F(ModuleTest, ModuleResendsItsFrameWhenTheHostNaksIt) {
    boot(1, {"corrupt-checksum:get-version:1"});
    Bytes out = send(buildFrame(REQUEST, 0x15, {}));
    Bytes good =
        buildFrame(RESPONSE, 0x15, {'Z', '-', 'W', 'a', 'v', 'e', ' ', '4', '.', '6', '2', 0x00, 0x01});
    ASSERT_EQ(out.size(), good.size() + 1);
    EXPECT_NE(out.back(), good.back()) << "first copy carries a bad checksum";
    EXPECT_EQ(send({NAK}), good);
    // After three NAKs the module gives up on a frame.
    send({ACK});
    send(buildFrame(REQUEST, 0x15, {}));
    EXPECT_EQ(send({NAK}), good);
    EXPECT_EQ(send({NAK}), good);
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
    EXPECT_EQ(take(), Bytes{});
    advance(millis(1));
    EXPECT_EQ(take(), buildFrame(RESPONSE, 0x2e, {0x00, 0x00, 0x40, 0x00}));
    send({ACK});
    Bytes unrelated = send(buildFrame(REQUEST, 0x2e, {0x03}));
    ASSERT_GT(unrelated.size(), 4u);
    EXPECT_EQ(unrelated[4], FUNC_UNRELATED);
    EXPECT_EQ(send({ACK}), buildFrame(RESPONSE, 0x2e, {0x00, 0x00, 0x00, 0x00}))
        << "the reply follows the unrelated frame";
}

TEST(Faults, RejectsMalformedSpecs) {
    Faults faults;
    std::string error;
    for (const char* description : {"drop-reply", "drop-reply:0", "late-reply:3", "fail-sector:64",
                                    "crc-fail:twice", "enable-reply:ac53aa", "nvm-size:x", "no-such-fault"})
        EXPECT_FALSE(faults.add(description, error)) << description;
    for (const char* description : {"drop-reply:4", "late-reply:get-version:1:200", "fail-sector:5:always",
                                    "enable-reply:ac53aa00", "garbage-before-frames", "crc-fail"})
        EXPECT_TRUE(faults.add(description, error)) << description;
}

TEST(PacedQueue, BytesLeaveOneCharacterTimeApart) {
    PacedQueue wire(115200);
    EXPECT_EQ(wire.characterTime(), 86805);
    uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(wire.push(bytes, 3, 1000000), 1000000 + 3 * 86805);
    uint8_t out[3];
    EXPECT_EQ(wire.takeDue(1000000 + 2 * 86805, out, 3), 2u);
    EXPECT_EQ(wire.nextDue(), 1000000 + 3 * 86805);
}
