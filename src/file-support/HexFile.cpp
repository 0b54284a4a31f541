#include "file-support/HexFile.hpp"

#include "util/Console.hpp"
#include "util/crc32.hpp"

#include <algorithm>
#include <fstream>
#include <string>

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

StringView trimmed(const std::string& line) {
    size_t size = line.size();
    while (size > 0 && (line[size - 1] == '\r' || line[size - 1] == '\n'))
        --size;
    return StringView(line.data(), size);
}

// One record into the image; `base` is the address that the last address record set.
bool readRecord(StringView line, std::vector<uint8_t>& image, uint64_t& base) {
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
    case DATA: {
        uint64_t address = base + (unsigned(addressHigh) << 8 | addressLow);
        if (address + count > HEX_IMAGE_SIZE) {
            logLine("addr=", static_cast<unsigned long long>(address), " is outside buffer");
            logLine(line);
            return false;
        }
        std::copy(data, data + count, image.begin() + ptrdiff_t(address));
        return true;
    }
    case END_OF_FILE:
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
    std::vector<uint8_t> image(HEX_IMAGE_SIZE, 0xFF);
    uint64_t base = 0;

    std::ifstream file(path);
    progressStep("Reading hex-file");
    if (!file) {
        logLine("Failed to open ", path);
        return {};
    }

    // An end-of-file record does not end the reading: some files carry data after it.
    std::string text;
    while (std::getline(file, text)) {
        StringView line = trimmed(text);
        if (line.empty())
            continue;
        if (!readRecord(line, image, base))
            return {};
    }
    // A read error ends getline like the end of the file does; a directory opens, then fails here.
    if (file.bad()) {
        logLine("Failed to read ", path);
        return {};
    }

    Result crc = toBigEndian(crc32(image.data(), CRC_OFFSET));
    std::copy(crc.bytes, crc.bytes + 4, image.begin() + CRC_OFFSET);
    return image;
}
