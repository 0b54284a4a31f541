#pragma once
// The firmware's version text and the code of the Z-Wave library it was built with, as the get
// version command reports them.
#include "util/View.hpp"

#include <cstdint>

struct Frame;

class ProtocolVersion {
public:
    static constexpr int TEXT_CAPACITY = 24;

    // The empty version: no text, library type 0.
    ProtocolVersion() = default;
    // Copies `length` chars when 0 <= length < 24, otherwise exactly 24 (the source must hold them).
    ProtocolVersion(const char* text, int length, uint8_t libraryType);

    // Text and library type of a get version reply; empty when the reply is too short.
    static ProtocolVersion fromFrame(const Frame& reply);

    StringView text() const { return StringView(text_, size_t(length_)); }
    int length() const { return length_; }
    uint8_t libraryType() const { return libraryType_; }

private:
    char text_[TEXT_CAPACITY] = {};
    int32_t length_ = 0;
    uint8_t libraryType_ = 0;
};

StringView libraryTypeName(const ProtocolVersion& version);
