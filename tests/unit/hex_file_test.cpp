// The flash image from Intel HEX files: accepted and refused files written by hand, each refusal
// with its message; files written by two independent tools (objcopy, srec_cat) read back into the
// right image; and the image's CRC-32/MPEG-2 against published check values.
#include "file-support/HexFile.hpp"

#include "util/crc32.hpp"

#include "support/ConsoleCapture.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const std::string END = ":00000001FF\n";

// A record line with its checksum computed.
std::string record(uint16_t address, uint8_t type, const Bytes& data) {
    Bytes bytes = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.push_back(uint8_t(-std::accumulate(bytes.begin(), bytes.end(), 0)));
    std::string line = ":";
    char pair[3];
    for (uint8_t b : bytes)
        line += (std::snprintf(pair, sizeof pair, "%02X", b), pair);
    return line;
}

// Lines each ended by a newline.
std::string join(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// The image for a flash holding `pieces` at their addresses: erased elsewhere, the CRC at its end.
Bytes imageWith(const std::vector<std::pair<size_t, Bytes>>& pieces) {
    Bytes image(HEX_IMAGE_SIZE, 0xFF);
    for (const auto& [address, bytes] : pieces)
        std::copy(bytes.begin(), bytes.end(), image.begin() + long(address));
    Result crc = toBigEndian(crc32(image.data(), HEX_IMAGE_SIZE - 4));
    std::copy(crc.bytes, crc.bytes + 4, image.end() - 4);
    return image;
}

class HexFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hex_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    Bytes read(const std::string& path) {
        ConsoleCapture console;
        Bytes image = readHexFile(path.c_str());
        lines = console.lines();
        return image;
    }
    Bytes readText(const std::string& content) {
        std::ofstream(dir + "/f.hex", std::ios::binary) << content;
        return read(dir + "/f.hex");
    }
    // The image read from what `command` writes of `binary` (IN and OUT stand for the files).
    void checkAgainst(std::string command, const Bytes& binary) {
        std::string bin = dir + "/in.bin", hex = dir + "/out.hex";
        std::ofstream(bin, std::ios::binary)
            .write(reinterpret_cast<const char*>(binary.data()), long(binary.size()));
        command.replace(command.find("IN"), 2, bin).replace(command.find("OUT"), 3, hex);
        SCOPED_TRACE(command + " of " + std::to_string(binary.size()) + " bytes");
        // A missing tool is a failure: these oracles are the point of the test.
        ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << "is the tool installed?";
        EXPECT_EQ(read(hex), imageWith({{0, binary}}));
        EXPECT_EQ(lines, Lines{});
    }

    std::string dir;
    Lines lines;
};

TEST_F(HexFile, AcceptedFiles) {
    const std::string data = ":0400000001020304F2", late = ":01000800ab4c"; // lower-case digits too
    const std::string start = record(0, 3, {0, 0, 0, 0}), linearStart = record(0, 5, {0, 0, 0x10, 0}),
                      unknown = record(0, 9, {});
    const Lines ignored = {"Ignoring line with unknown type: '" + start + "'",
                           "Ignoring line with unknown type: '" + linearStart + "'",
                           "Ignoring line with unknown type: '" + unknown + "'"};
    // clang-format off
    struct Row { std::string text; Bytes image; Lines lines = {}; };
    const Row rows[] = {
        // Segment and linear addresses: the last one given counts.
        {join({record(0, 2, {0x10, 0}), record(0x10, 0, {0x11}), record(0, 4, {0, 0}),
               record(0x20, 0, {0x22}), record(0, 4, {0, 1}), record(0x21, 0, {0x33}), record(0, 2, {1, 0}),
               record(0x21, 0, {0x44})}) + END,
         imageWith({{0x10010, {0x11}}, {0x20, {0x22}}, {0x10021, {0x33}}, {0x1021, {0x44}}})},
        {join({":020000040001F9", start, linearStart, unknown, record(0, 0, {0x5A})}) + END,
         imageWith({{0x10000, {0x5A}}}), ignored},
        // Line ends of every kind, blank lines, blanks after the checksum, data after the end record and
        // in a last line of the longest length without a line end; records that repeat bytes already there.
        {"\n" + data + " \t\r\n\r\n" + data + "\r\r\n\n:00000001FF  \n" + record(2, 0, {3, 4, 0xFF}) +
         "\r\n" + late + "\n" + late + std::string(600 - late.size() - 1, ' ') + "\t",
         imageWith({{0, {1, 2, 3, 4}}, {8, {0xab}}})},
        {":020000000102FB\r:02000200AABB97\r:00000001FF\r", imageWith({{0, {0x01, 0x02, 0xAA, 0xBB}}})},
        // The last four data bytes give way to the CRC.
        {join({":020000040001F9", record(0xFFF8, 0, {1, 2, 3, 4, 5, 6, 7, 8})}) + END,
         imageWith({{HEX_IMAGE_SIZE - 8, {1, 2, 3, 4}}})},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(readText(row.text), row.image);
        EXPECT_EQ(lines, row.lines);
    }
}

TEST_F(HexFile, RefusedFilesGiveAnEmptyImageAndStopReading) {
    const std::string in = " in hex-file '" + dir + "/f.hex'", one = record(0, 0, {1});
    const std::string wideCount = record(0, 4, {0, 1, 0, 0}), narrowSegment = record(0, 2, {0x10}),
                      beyond = record(0xFFFF, 0, {1, 2});
    // clang-format off
    struct Row { std::string text; Lines lines; };
    const Row rows[] = {
        {":0400000001020304\n", {"line too short to parse byte #8 from line ':0400000001020304'"}},
        {":04000000G1020304F2\n", {"failed to parse byte #4 ('G1' from line ':04000000G1020304F2'"}},
        {":04000000 1020304F2\n", {"failed to parse byte #4 (' 1' from line ':04000000 1020304F2'"}},
        {":04000000-1020304F2\n", {"failed to parse byte #4 ('-1' from line ':04000000-1020304F2'"}},
        {":0x00000001FF\n", {"failed to parse byte #0 ('0x' from line ':0x00000001FF'"}},
        {":0400000001020304F3\n", {"checksum mismatch on line ':0400000001020304F3'"}},
        {" :00000001FF\n", {"line ' :00000001FF' does not start with :"}},
        {wideCount + "\n", {"extended address has wrong data length on line '" + wideCount + "'"}},
        {narrowSegment + "\n", {"extended address has wrong data length on line '" + narrowSegment + "'"}},
        {":020000040002F8\n" + one + "\n", {"addr=131072 is outside buffer", one}},
        {":020000040001F9\n" + beyond + "\n", {"addr=131071 is outside buffer", beyond}},
        // A segment record moves the data past the image instead of being ignored.
        {record(0, 2, {0x20, 0x00}) + "\n" + one + "\n", {"addr=131072 is outside buffer", one}},
        {":020000041000EA\n" + one + "\n", {"addr=268435456 is outside buffer", one}},
        // Nothing after the first bad line is looked at.
        {" :00\n" + record(0, 3, {0, 0, 0, 0}) + "\n:0400\n", {"line ' :00' does not start with :"}},
        // A record followed by anything but blanks may be two records that lost a line end.
        {":020000000102FB:00000001FF\n",
         {"characters after the checksum on line ':020000000102FB:00000001FF'" + in}},
        {":00000001FF \x01\n", {"characters after the checksum on line ':00000001FF \x01'" + in}},
        // A record line never grows past the limit, whatever follows.
        {END + std::string(601, ':'), {"line 2 is longer than 600 characters" + in}},
        {END + "\r\n:00000001FF" + std::string(590, ' ') + "\n",
         {"line 3 is longer than 600 characters" + in}},
        // Nothing to flash: a blank image would get a valid CRC.
        {"", {"no data" + in}},
        {"\n\r\n\r", {"no data" + in}},
        {record(0x10, 0, {}) + "\n" + END, {"no data" + in}},
        // Two records that disagree about a byte, directly or through a segment and a linear address.
        {END + join({":0400000001020304F2", record(3, 0, {5})}),
         {"contradictory data at address 0x00003" + in}},
        {join({record(0, 2, {0x10, 0}), one, record(0, 4, {0, 1}), record(0, 0, {2})}) + END,
         {"contradictory data at address 0x10000" + in}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_TRUE(readText(row.text).empty());
        EXPECT_EQ(lines, row.lines);
    }
    EXPECT_TRUE(read(dir + "/missing.hex").empty());
    EXPECT_EQ(lines, Lines{"Failed to open " + dir + "/missing.hex"});
    // A directory opens like a file and fails only when read; that is not an empty firmware.
    EXPECT_TRUE(read(dir).empty());
    EXPECT_EQ(lines, Lines{"Failed to read " + dir});
}

// Endless input without a line end is refused after one line's worth of it. The child's alarm is
// a hang guard only; its peak memory shows that the line was never collected.
TEST_F(HexFile, EndlessInputIsRefusedInBoundedMemory) {
    ConsoleCapture console;
    pid_t child = fork();
    if (child == 0) {
        alarm(120);
        _exit(readHexFile("/dev/zero").empty() ? 0 : 3);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_EQ(status, 0) << "a refusal exits 0; a hang is killed by its alarm (wait status 14)";
    EXPECT_LT(usage.ru_maxrss, 512L * 1024) << "KiB";
    EXPECT_EQ(console.lines(), Lines{"line 1 is longer than 600 characters in hex-file '/dev/zero'"});
}

// Independent writers of Intel HEX: GNU objcopy (segment records past 64 KiB, 16-byte records)
// and srec_cat (linear records, other record sizes, gaps where the flash stays erased).
using HexFileOracle = HexFile;

// Random bytes throughout, or 40 random islands in erased flash.
Bytes randomBinary(size_t size, bool sparse, unsigned seed) {
    std::mt19937 random(seed);
    Bytes binary(size, 0xFF);
    for (int island = 0; island < (sparse ? 40 : 1); ++island) {
        size_t start = sparse ? random() % size : 0, length = sparse ? 1 + random() % 600 : size;
        for (size_t i = start; i < start + length && i < size; ++i)
            binary[i] = uint8_t(random());
    }
    binary[size - 1] = 0x42; // keep the full length visible to the writer
    return binary;
}

TEST_F(HexFileOracle, ObjcopyAndSrecCat) {
    unsigned seed = 1;
    for (size_t size :
         std::initializer_list<size_t>{1, 255, 65535, 65536, 65537, 100003, HEX_IMAGE_SIZE - 4}) {
        for (bool sparse : {false, true})
            checkAgainst("objcopy -I binary -O ihex IN OUT", randomBinary(size, sparse, seed++));
        checkAgainst("srec_cat IN -binary -o OUT -intel", randomBinary(size, false, seed++));
        checkAgainst("srec_cat IN -binary -o OUT -intel -obs=255", randomBinary(size, false, seed++));
        // Runs of erased bytes are left out of the file, so the reader's fill must supply them.
        checkAgainst("srec_cat IN -binary -unfill 0xFF 3 -o OUT -intel -obs=37",
                     randomBinary(size, true, seed++));
    }
}

// Most-significant-bit-first, one bit at a time.
uint32_t bitwiseMpeg2(const Bytes& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : bytes) {
        crc ^= uint32_t(byte) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

TEST(Crc32, CheckValuesAndABitwiseImplementation) {
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, ones = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(crc32(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(crc32(check.data(), check.size()), 0x0376E6E7u);
    EXPECT_EQ(crc32(ones.data(), ones.size()), 0u);
    std::mt19937 random(1234);
    for (size_t length : {1u, 7u, 64u, 1000u, 131068u}) {
        Bytes bytes(length);
        for (uint8_t& b : bytes)
            b = uint8_t(random());
        EXPECT_EQ(crc32(bytes.data(), bytes.size()), bitwiseMpeg2(bytes)) << length;
    }
}

} // namespace
