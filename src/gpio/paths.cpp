#include "gpio/paths.hpp"

#include <cstdio>

namespace gpio {

std::string number(unsigned gpio) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", gpio);
    return text;
}

std::string gpioPath(unsigned gpio, const char* suffix) {
    return "/sys/class/gpio/gpio" + number(gpio) + suffix;
}

std::string directionPath(unsigned gpio) {
    return gpioPath(gpio, "/direction");
}

std::string valuePath(unsigned gpio) {
    return gpioPath(gpio, "/value");
}

} // namespace gpio
