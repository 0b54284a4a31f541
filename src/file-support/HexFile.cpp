#include "file-support/HexFile.hpp"

#include "file-support/TextLines.hpp"
#include "rawio/Cancel.hpp"
#include "rawio/FileDescriptor.hpp"
#include "util/Console.hpp"
#include "util/crc32.hpp"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <fcntl.h>

namespace {

constexpr size_t CRC_OFFSET = HEX_IMAGE_SIZE - 4;

enum RecordType : uint8_t {
    DATA = 0,
    END_OF_FILE = 1,
    EXTENDED_SEGMENT_ADDRESS = 2,
    EXTENDED_LINEAR_ADDRESS = 4,
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The image under construction and what the file has told so far.
class ImageBuilder {
public:
    ImageBuilder(std::vector<uint8_t>& image, const char* path) : image(image), path(path) {}

    // One record into the image; false after a message.
    bool record(StringView line);
    // The checks that only the whole file can pass, then the CRC; false after a message.
    bool finish();

private:
    bool store(uint64_t address, const uint8_t* data, unsigned count, StringView line);

    std::vector<uint8_t>& image;
    const char* path;
    // Bytes that some record wrote, so that a second record can only repeat them.
    std::bitset<HEX_IMAGE_SIZE> written;
    // The address that the last address record set.
    uint64_t base = 0;
    bool sawEndOfFile = false;
    bool sawData = false;
};

bool ImageBuilder::record(StringView line) {
    if (line[0] != ':') {
        logLine("line '", line, "' does not start with :");
        return false;
    }
    uint8_t count, addressHigh, addressLow, type;
    if (!parseHexByte(line, 0, count) || !parseHexByte(line, 1, addressHigh) ||
        !parseHexByte(line, 2, addressLow) || !parseHexByte(line, 3, type))
        return false;
    uint8_t data[255];
    for (unsigned i = 0; i < count; ++i) {
        if (!parseHexByte(line, 4 + i, data[i]))
            return false;
    }
    uint8_t checksum;
    if (!parseHexByte(line, 4u + count, checksum))
        return false;
    // Anything after the checksum may be a record that lost its line end.
    for (size_t i = 2 * size_t(count) + 11; i < line.size(); ++i) {
        if (!isBlank(line[i])) {
            logLine("characters after the checksum on line '", line, "' in hex-file '", path, "'");
            return false;
        }
    }

    // The module's CRC is computed over the image built here, so a corrupt file would pass it:
    // the record's own checksum is the only guard.
    uint8_t sum = uint8_t(count + addressHigh + addressLow + type + checksum);
    for (unsigned i = 0; i < count; ++i)
        sum = uint8_t(sum + data[i]);
    if (sum != 0) {
        logLine("checksum mismatch on line '", line, "'");
        return false;
    }

    switch (type) {
    case DATA:
        return store(base + (unsigned(addressHigh) << 8 | addressLow), data, count, line);
    case END_OF_FILE:
        sawEndOfFile = true;
        return true;
    case EXTENDED_SEGMENT_ADDRESS:
    case EXTENDED_LINEAR_ADDRESS: {
        if (count != 2) {
            logLine("extended address has wrong data length on line '", line, "'");
            return false;
        }
        uint64_t value = unsigned(data[0]) << 8 | data[1];
        // Segment addresses (written by objcopy past 64 KiB) count in paragraphs of 16 bytes.
        base = type == EXTENDED_LINEAR_ADDRESS ? value << 16 : value << 4;
        return true;
    }
    default:
        logLine("Ignoring line with unknown type: '", line, "'");
        return true;
    }
}

bool ImageBuilder::store(uint64_t address, const uint8_t* data, unsigned count, StringView line) {
    if (address + count > HEX_IMAGE_SIZE) {
        logLine("addr=", static_cast<unsigned long long>(address), " is outside buffer");
        logLine(line);
        return false;
    }
    for (unsigned i = 0; i < count; ++i) {
        size_t at = size_t(address) + i;
        // Which of two records is meant cannot be told; repeating the same bytes is harmless.
        if (written[at] && image[at] != data[i]) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%05zX", at);
            logLine("contradictory data at address ", text, " in hex-file '", path, "'");
            return false;
        }
        written[at] = true;
        image[at] = data[i];
    }
    sawData = sawData || count > 0;
    return true;
}

bool ImageBuilder::finish() {
    // A blank image gets a valid CRC below and would be flashed as a module that no longer boots.
    if (!sawData) {
        logLine("no data in hex-file '", path, "'");
        return false;
    }
    // The CRC below would also make a download cut at a line boundary pass the module's check.
    if (!sawEndOfFile) {
        logLine("no end-of-file record in hex-file '", path, "'");
        return false;
    }
    Result crc = toBigEndian(crc32(image.data(), CRC_OFFSET));
    std::copy(crc.bytes, crc.bytes + 4, image.begin() + CRC_OFFSET);
    return true;
}

} // namespace

bool parseHexByte(StringView line, unsigned n, uint8_t& out) {
    size_t first = 2 * size_t(n) + 1;
    if (first + 1 >= line.size()) {
        logLine("line too short to parse byte #", n, " from line '", line, "'");
        return false;
    }
    int high = hexDigit(line[first]);
    int low = hexDigit(line[first + 1]);
    if (high < 0 || low < 0) {
        logLine("failed to parse byte #", n, " ('", StringView(line.data() + first, 2), "' from line '", line,
                "'");
        return false;
    }
    out = uint8_t(high << 4 | low);
    return true;
}

std::vector<uint8_t> readHexFile(const char* path) {
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    progressStep("Reading hex-file");
    if (!file.valid()) {
        logLine("Failed to open ", path);
        return {};
    }

    std::vector<uint8_t> image(HEX_IMAGE_SIZE, 0xFF);
    ImageBuilder builder(image, path);
    TextLines lines(file.get());
    // An end-of-file record does not end the reading: some files carry data after it.
    StringView line;
    TextLines::Result result;
    while ((result = lines.next(line)) == TextLines::Result::Line) {
        if (!line.empty() && !builder.record(line))
            return {};
    }
    if (result == TextLines::Result::TooLong) {
        logLine("line ", lines.lineNumber(), " is longer than ", unsigned(TextLines::MAX_LINE),
                " characters in hex-file '", path, "'");
        return {};
    }
    if (result == TextLines::Result::ReadError) {
        // A cancelled read needs no line of its own: the entry reports the cancellation.
        if (!RawIO::cancelRequested())
            logLine("Failed to read ", path); // a directory opens, then fails here
        return {};
    }
    if (!builder.finish())
        return {};
    return image;
}
