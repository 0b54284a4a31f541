#include "IntelHex.hpp"

#include "HexText.hpp"

#include <algorithm>
#include <cstdio>

namespace emu {

static void appendRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data,
                         size_t count) {
    char text[16];
    uint8_t sum = uint8_t(count) + uint8_t(address >> 8) + uint8_t(address) + type;
    snprintf(text, sizeof text, ":%02X%04X%02X", unsigned(count), unsigned(address), unsigned(type));
    out += text;
    for (size_t i = 0; i < count; ++i) {
        snprintf(text, sizeof text, "%02X", unsigned(data[i]));
        out += text;
        sum += data[i];
    }
    snprintf(text, sizeof text, "%02X\n", unsigned(uint8_t(-sum)));
    out += text;
}

std::string writeIntelHex(const std::vector<uint8_t>& image, unsigned recordSize) {
    std::string out;
    uint32_t upper = 0;
    for (size_t start = 0; start < image.size(); start += recordSize) {
        size_t count = std::min<size_t>(recordSize, image.size() - start);
        bool erased = true;
        for (size_t i = start; i < start + count; ++i)
            erased = erased && image[i] == 0xFF;
        if (erased)
            continue;
        // Records never cross a 64 KiB boundary because recordSize divides 65536.
        if ((start >> 16) != upper) {
            upper = uint32_t(start >> 16);
            uint8_t data[2] = {uint8_t(upper >> 8), uint8_t(upper)};
            appendRecord(out, 4, 0, data, 2);
        }
        appendRecord(out, 0, uint16_t(start), image.data() + start, count);
    }
    appendRecord(out, 1, 0, nullptr, 0);
    return out;
}

bool readIntelHex(const std::string& text, size_t size, std::vector<uint8_t>& image, std::string& error) {
    image.assign(size, 0xFF);
    uint32_t upper = 0;
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.empty())
            continue;
        std::vector<uint8_t> record;
        if (line[0] != ':' || !parseHexBytes(line.substr(1), record) || record.size() < 5 ||
            record.size() != size_t(record[0]) + 5) {
            error = "malformed record on line " + std::to_string(lineNumber);
            return false;
        }
        uint8_t sum = 0;
        for (uint8_t byte : record)
            sum += byte;
        if (sum != 0) {
            error = "bad record checksum on line " + std::to_string(lineNumber);
            return false;
        }
        uint8_t count = record[0];
        uint32_t address = (uint32_t(record[1]) << 8) | record[2];
        uint8_t type = record[3];
        if (type == 0) {
            uint64_t at = (uint64_t(upper) << 16) + address;
            if (at + count > size) {
                error = "record outside the flash on line " + std::to_string(lineNumber);
                return false;
            }
            std::copy(record.begin() + 4, record.begin() + 4 + count, image.begin() + at);
        } else if (type == 1) {
            break;
        } else if (type == 4 && count == 2) {
            upper = (uint32_t(record[4]) << 8) | record[5];
        } else {
            error = "unsupported record type on line " + std::to_string(lineNumber);
            return false;
        }
    }
    return true;
}

} // namespace emu
