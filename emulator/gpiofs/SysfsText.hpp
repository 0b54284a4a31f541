#pragma once
// The texts the GPIO attributes accept, parsed the way the kernel's sysfs GPIO parses them.
#include <string>
#include <string_view>

namespace gpiofs {

// A decimal number, optionally followed by one newline (as `echo` writes it).
bool parseNumber(std::string_view text, unsigned& number);

// "gpio" followed by the number as the kernel spells it (no leading zeros).
bool parseLineName(std::string_view name, unsigned& gpio);

// "in", "out", "low" or "high", optionally followed by one newline. `direction` becomes "in" or "out";
// `level` becomes the level the word drives ("out" drives low, as the kernel does) or -1 for "in".
bool parseDirection(std::string_view text, std::string& direction, int& level);

} // namespace gpiofs
