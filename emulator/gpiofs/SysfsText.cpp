#include "SysfsText.hpp"

#include <limits>

namespace gpiofs {

namespace {

std::string_view withoutNewline(std::string_view text) {
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    return text;
}

} // namespace

bool parseNumber(std::string_view text, unsigned& number) {
    text = withoutNewline(text);
    if (text.empty())
        return false;
    unsigned long long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
        if (result > std::numeric_limits<unsigned>::max())
            return false;
    }
    number = static_cast<unsigned>(result);
    return true;
}

bool parseLineName(std::string_view name, unsigned& gpio) {
    if (!name.starts_with("gpio") || name.ends_with('\n'))
        return false;
    return parseNumber(name.substr(4), gpio) && name.substr(4) == std::to_string(gpio);
}

bool parseDirection(std::string_view text, std::string& direction, int& level) {
    text = withoutNewline(text);
    if (text == "in") {
        direction = "in";
        level = -1;
    } else if (text == "out" || text == "low" || text == "high") {
        direction = "out";
        level = text == "high" ? 1 : 0;
    } else {
        return false;
    }
    return true;
}

} // namespace gpiofs
