// One session against the running emulator over its pty and its fake GPIO tree, with the host's
// bytes written here by hand (no tarnwick): flash an image through the programming interface,
// read the NVR, let the firmware boot and back the NVM up with the Serial API.
#include "FirmwareIdentity.hpp"
#include "GeneratedContent.hpp"
#include "SerialFrame.hpp"
#include "support/EmuHarness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

void writeSysfs(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    ASSERT_TRUE(file.good()) << path;
}

class Host {
public:
    explicit Host(const std::string& tty) {
        fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios attributes{};
        tcgetattr(fd, &attributes);
        cfmakeraw(&attributes);
        tcsetattr(fd, TCSAFLUSH, &attributes);
    }
    ~Host() { close(fd); }
    bool isOpen() const { return fd >= 0; }

    void send(const Bytes& bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    Bytes receive(size_t count, int timeoutMs = 1000) {
        Bytes bytes;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count) {
            int left = int(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
            pollfd ready{fd, POLLIN, 0};
            if (left <= 0 || poll(&ready, 1, left) <= 0)
                break;
            uint8_t buffer[256];
            ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (got > 0)
                bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    Bytes command(const Bytes& bytes) {
        send(bytes);
        return receive(4);
    }
    void waitWhileBusy() {
        for (int polls = 0; polls < 1000; ++polls) {
            Bytes state = command({0x7f, 0xfe, 0x00, 0x00});
            ASSERT_EQ(state.size(), 4u);
            if ((state[3] & 0x08) == 0)
                return;
            usleep(1000);
        }
        FAIL() << "still busy";
    }
    // A frame from the module (after its SOF and LEN), ACKed.
    Bytes frame() {
        Bytes head = receive(2);
        if (head.size() < 2 || head[0] != emu::SOF)
            return head;
        Bytes rest = receive(head[1]);
        head.insert(head.end(), rest.begin(), rest.end());
        send({emu::ACK});
        return head;
    }
    Bytes request(uint8_t function, const Bytes& payload) {
        send(emu::buildFrame(emu::REQUEST, function, payload));
        EXPECT_EQ(receive(1), Bytes{emu::ACK});
        return frame();
    }

private:
    int fd = -1;
};

} // namespace

TEST(PtySession, FlashReadNvrBootAndBackUpTheNvmWithoutTheTool) {
    using namespace emutest;
    Emu emu = Emu::start({.firmware = {""}, .populateNvm = true, .crcMs = 20});
    emutest::FirmwareSpec description{"Z-Wave 4.62", 1, 16384, 3000};
    Bytes image = Emu::firmwareImage(description);

    Host host(emu.tty());
    ASSERT_TRUE(host.isOpen());
    writeSysfs("/sys/class/gpio/export", "17");
    writeSysfs("/sys/class/gpio/gpio17/direction", "low"); // reset asserted

    // Programming interface: enable, then every sector that holds data.
    ASSERT_EQ(host.command({0xac, 0x53, 0xaa, 0x55}), (Bytes{0xac, 0x53, 0xaa, 0x55}));
    size_t continueWrites = 0;
    for (uint8_t sector = 0; sector < emu::SECTOR_COUNT; ++sector) {
        const uint8_t* data = image.data() + sector * emu::SECTOR_SIZE;
        if (std::all_of(data, data + emu::SECTOR_SIZE, [](uint8_t b) { return b == 0xFF; }))
            continue;
        ASSERT_EQ(host.command({0x0b, sector, 0xff, 0xff}), (Bytes{0x0b, sector, 0xff, 0xff}));
        ASSERT_NO_FATAL_FAILURE(host.waitWhileBusy());
        ASSERT_EQ(host.command({0x04, 0x00, 0x00, data[0]}).size(), 4u);
        for (size_t at = 1; at < emu::SECTOR_SIZE; at += 3, ++continueWrites) {
            auto byte = [&](size_t i) { return i < emu::SECTOR_SIZE ? data[i] : uint8_t(0xFF); };
            Bytes command = {0x80, byte(at), byte(at + 1), byte(at + 2)};
            ASSERT_EQ(host.command(command), command);
        }
        ASSERT_EQ(host.command({0x20, sector, 0xff, 0xff}), (Bytes{0x20, sector, 0xff, 0xff}));
        ASSERT_NO_FATAL_FAILURE(host.waitWhileBusy());
    }
    ASSERT_EQ(host.command({0xc3, 0x00, 0x00, 0x00}), (Bytes{0xc3, 0x00, 0x00, 0x00}));
    ASSERT_NO_FATAL_FAILURE(host.waitWhileBusy());
    EXPECT_EQ(host.command({0x7f, 0xfe, 0x00, 0x00})[3], 0x02) << "CRC passed";

    Bytes nvr;
    for (unsigned address = 0; address < 256; ++address) {
        Bytes reply = host.command({0xf2, 0x00, uint8_t(address), 0xff});
        ASSERT_EQ(reply.size(), 4u);
        ASSERT_EQ(reply[2], address);
        nvr.push_back(reply[3]);
    }
    EXPECT_EQ(nvr, emu::defaultNvr());

    // Release reset: the new firmware boots and says so.
    writeSysfs("/sys/class/gpio/gpio17/value", "1");
    Bytes started = host.frame();
    ASSERT_GE(started.size(), 4u);
    EXPECT_EQ(started[3], 0x0a);
    Bytes version = host.request(0x15, {});
    EXPECT_EQ(std::string(version.begin() + 4, version.begin() + 15), "Z-Wave 4.62");

    Bytes open = host.request(0x2e, {0x00});
    ASSERT_EQ(open.size(), 9u);
    unsigned size = open[6] * 256u + open[7];
    EXPECT_EQ(size, 16384u);
    Bytes backup;
    for (unsigned offset = 0;; offset += 64) {
        Bytes reply = host.request(0x2e, {0x01, 0x40, uint8_t(offset >> 8), uint8_t(offset)});
        ASSERT_GE(reply.size(), 9u);
        ASSERT_EQ(reply[6] * 256u + reply[7], offset);
        backup.insert(backup.end(), reply.begin() + 8, reply.end() - 1);
        if (reply[4] == 0xff)
            break;
        ASSERT_EQ(reply[4], 0x00);
    }
    host.request(0x2e, {0x03});
    EXPECT_EQ(backup, emu::populatedStaticNvm());

    EXPECT_EQ(emu.flash(), image);
    EXPECT_TRUE(emu.stoppedCleanly());
    EXPECT_EQ(emu.count(" in prog continue-write "), continueWrites);
    EXPECT_EQ(emu.count(" in frame nvm-read "), 256u);
    EXPECT_EQ(emu.count(" line reset 0"), 1u);
}
