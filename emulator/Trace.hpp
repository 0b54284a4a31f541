#pragma once
// The emulator's trace: one line per exchange, frame, control byte, line change or event:
//   <CLOCK_MONOTONIC ns> <direction> <kind> <name> [<bytes as hex>]
// direction: in (host to module), out (module to host), line (reset line), event (inside the module).
// kind: frame, bad-frame, ack, nak, can, prog, ignored, reset, boot, nvm, crc, fault, ...
#include "Clock.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

namespace emu {

class Trace {
public:
    Trace() = default;
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return file != nullptr; }

    void line(Nanos time, const char* direction, const char* kind, const std::string& name,
              const uint8_t* bytes = nullptr, size_t size = 0);
    // An injected fault takes effect on the exchange or frame `name`: "event fault FAULT NAME".
    void fault(Nanos time, const char* faultName, const std::string& name) {
        line(time, "event", "fault", faultName + (" " + name));
    }
    void flush();

private:
    FILE* file = nullptr;
};

} // namespace emu
