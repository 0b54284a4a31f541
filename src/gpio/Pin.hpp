#pragma once
// A configured sysfs GPIO line with its value file kept open for one-write level changes.
#include "gpio/PinExporter.hpp"
#include "rawio/FileDescriptor.hpp"

// The value file, read-write for an output and read-only for an input; -1 when the open fails.
FileDescriptor openValueFile(unsigned gpio, bool output);

class Pin {
public:
    Pin() = default;
    Pin(unsigned gpio, bool output, int initialValue);
    Pin(Pin&& other) noexcept = default;
    Pin& operator=(Pin&& other) noexcept;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    // Members go in reverse order: the value file is closed before the line is unexported.
    ~Pin() = default;

    bool isOpen() const { return valueFile.valid(); }
    // One write of "0" or "1"; false unless exactly that byte was written.
    bool setValue(int value);

    const PinExporter& exporter() const { return exporter_; }

private:
    PinExporter exporter_;
    FileDescriptor valueFile;
};
