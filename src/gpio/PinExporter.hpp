#pragma once
// Exports a sysfs GPIO line if nobody has and sets its direction; unexports on destruction only
// a line that this object exported. Failures are printed and left in the flags; nothing throws.
class PinExporter {
public:
    PinExporter() = default;
    // Direction "in" for an input; for an output "low" (0), "high" (1) or "out" (any other value).
    PinExporter(unsigned gpio, bool output, int initialValue);
    PinExporter(PinExporter&& other) noexcept;
    PinExporter& operator=(PinExporter&& other) noexcept;
    PinExporter(const PinExporter&) = delete;
    PinExporter& operator=(const PinExporter&) = delete;
    ~PinExporter();

    // Writes the number to the unexport file when this object exported the line.
    bool unexport();

    unsigned gpio() const { return gpio_; }
    bool exported() const { return exported_; }
    bool configured() const { return configured_; }

private:
    void configure(bool output, int initialValue);

    unsigned gpio_ = 0;
    bool exported_ = false;
    bool configured_ = false;
};
