#include "gpio/Pin.hpp"

#include "gpio/paths.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <utility>

FileDescriptor openValueFile(unsigned gpio, bool output) {
    return FileDescriptor(::open(gpio::valuePath(gpio).c_str(), output ? O_RDWR : O_RDONLY));
}

Pin::Pin(unsigned gpio, bool output, int initialValue) : exporter_(gpio, output, initialValue) {
    if (exporter_.configured())
        valueFile = openValueFile(gpio, output);
}

Pin& Pin::operator=(Pin&& other) noexcept {
    if (this != &other) {
        // Our own line is let go in the destructor's order: value file first, then the export.
        valueFile = FileDescriptor();
        exporter_ = std::move(other.exporter_);
        valueFile = std::move(other.valueFile);
    }
    return *this;
}

bool Pin::setValue(int value) {
    char text = char('0' + value);
    return ::write(valueFile.get(), &text, 1) == 1;
}
