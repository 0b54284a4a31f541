#pragma once
// The sysfs GPIO paths, built in one place. Numbers are plain decimal ("%u").
#include <string>

namespace gpio {

inline constexpr const char* exportPath = "/sys/class/gpio/export";
inline constexpr const char* unexportPath = "/sys/class/gpio/unexport";

std::string gpioPath(unsigned gpio, const char* suffix);
std::string directionPath(unsigned gpio);
std::string valuePath(unsigned gpio);
// The text written to the export and unexport files: the number, no newline.
std::string number(unsigned gpio);

} // namespace gpio
