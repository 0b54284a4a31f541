#pragma once
// Bytes as lowercase hex text and back, for traces, fault options and HEX records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// "01 03 00 15 e9": two digits per byte, one blank between bytes.
std::string hexBytes(const uint8_t* data, size_t size);

// "ac53aa00" or "ac 53 aa 00"; false on an odd digit count or a non-hex character.
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out);

} // namespace emu
