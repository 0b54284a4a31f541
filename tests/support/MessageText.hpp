#pragma once
// Tests only: the message lines a ConsoleCapture saw, as one text without the wipes of the status
// line, so that messages with a line break inside compare as printed.
#include "ConsoleCapture.hpp"

#include <string>

inline std::string messageText(const ConsoleCapture& console) {
    std::string text = console.stderrText(), plain;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\r') {
            size_t close = text.find('\r', i + 1);
            i = close == std::string::npos ? text.size() : close + 1;
            continue;
        }
        plain += text[i++];
    }
    return plain;
}
