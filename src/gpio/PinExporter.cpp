#include "gpio/PinExporter.hpp"

#include "gpio/paths.hpp"
#include "rawio/Files.hpp"

#include "util/Console.hpp"
#include <cctype>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t DIRECTION_READ_LENGTH = 32;
// After an export, udev may still be changing the new files' permissions.
constexpr int PERMISSION_RETRIES = 10;
constexpr unsigned FIRST_RETRY_SLEEP_US = 1024;

const char* directionWord(bool output, int initialValue) {
    if (!output)
        return "in";
    if (initialValue == 0)
        return "low";
    if (initialValue == 1)
        return "high";
    return "out";
}

void trimTrailingSpace(std::string& text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
}

} // namespace

PinExporter::PinExporter(unsigned gpio, bool output, int initialValue) : gpio_(gpio) {
    configure(output, initialValue);
}

void PinExporter::configure(bool output, int initialValue) {
    std::string direction = gpio::directionPath(gpio_);
    std::string current;
    RawIO::Status status = RawIO::readStringFile(direction.c_str(), current, DIRECTION_READ_LENGTH);
    if (status == RawIO::DoesNotExist) {
        if (RawIO::writeStringFile(gpio::exportPath, gpio::number(gpio_)) != RawIO::OK) {
            logProgramLine("GPIO: unable to export GPIO ", gpio_, ".");
            return;
        }
        exported_ = true;
        status = RawIO::readStringFile(direction.c_str(), current, DIRECTION_READ_LENGTH);
    }
    if (status != RawIO::OK)
        return;
    trimTrailingSpace(current);

    // sysfs reads back only "in" or "out", so a requested level is always written.
    std::string word = directionWord(output, initialValue);
    if (current == word) {
        configured_ = true;
        return;
    }
    status = RawIO::writeStringFile(direction.c_str(), word);
    if (exported_) {
        unsigned sleepUs = FIRST_RETRY_SLEEP_US;
        for (int retry = 0; retry < PERMISSION_RETRIES && status == RawIO::PermissionDenied; ++retry) {
            ::usleep(sleepUs);
            sleepUs *= 2;
            status = RawIO::writeStringFile(direction.c_str(), word);
        }
    }
    configured_ = RawIO::reportStatus(status, direction.c_str());
}

PinExporter::PinExporter(PinExporter&& other) noexcept
    : gpio_(other.gpio_), exported_(other.exported_), configured_(other.configured_) {
    other.exported_ = false;
    other.configured_ = false;
}

PinExporter& PinExporter::operator=(PinExporter&& other) noexcept {
    if (this != &other) {
        if (exported_)
            unexport();
        gpio_ = other.gpio_;
        exported_ = other.exported_;
        configured_ = other.configured_;
        other.exported_ = false;
        other.configured_ = false;
    }
    return *this;
}

PinExporter::~PinExporter() {
    if (exported_)
        unexport();
}

bool PinExporter::unexport() {
    if (!exported_)
        return true;
    if (RawIO::writeStringFile(gpio::unexportPath, gpio::number(gpio_)) != RawIO::OK) {
        logProgramLine("GPIO: unable to unexport GPIO ", gpio_, ".");
        return false;
    }
    exported_ = false;
    configured_ = false;
    return true;
}
