#include "zwave/ProtocolVersion.hpp"

#include "zwave/Frame.hpp"

#include <cstring>

namespace {

struct type_name {
    uint8_t code;
    CStringLiteralView name;
};

constexpr type_name LIBRARY_TYPES[] = {
    {0, "Unknown library type"},
    {1, "Static controller library"},
    {2, "Portable controller library"},
    {3, "Enhanced 232 slave library"},
    {4, "Slave library"},
    {5, "Installer library"},
    {6, "Routing slave library"},
    {7, "Bridge controller library"},
};

} // namespace

ProtocolVersion::ProtocolVersion(const char* text, int length, uint8_t libraryType)
    : length_(length >= 0 && length < TEXT_CAPACITY ? length : TEXT_CAPACITY), libraryType_(libraryType) {
    if (length_ > 0)
        std::memcpy(text_, text, size_t(length_));
}

ProtocolVersion ProtocolVersion::fromFrame(const Frame& reply) {
    if (reply.size <= 4 || reply.body().size() <= 2)
        return ProtocolVersion();
    // The text runs from after the function id to before its NUL and the type byte.
    const char* text = reinterpret_cast<const char*>(reply.data + 4);
    return ProtocolVersion(text, int(reply.size - 7), reply.data[reply.size - 2]);
}

StringView libraryTypeName(const ProtocolVersion& version) {
    uint8_t code = version.libraryType();
    if (code >= sizeof LIBRARY_TYPES / sizeof LIBRARY_TYPES[0])
        code = 0;
    return LIBRARY_TYPES[code].name;
}
