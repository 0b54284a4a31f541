#pragma once
// A module that speaks from a fuzzer's input. The tool opens a real pseudo-terminal (so that its
// tty set-up runs), but once attached its reads, polls and writes on that descriptor are served
// from the input, and time is virtual: a wait for bytes that do not come returns at once and moves
// the clock on by its timeout, and sleeps only move the clock. Executions stay fast and repeatable.
//
// The input is a list of chunks, each led by one byte: its low seven bits are the chunk's length,
// its high bit makes the tool's next wait for input time out before the chunk arrives. A chunk
// arrives when the tool waits for input and nothing of the previous chunk is left, so a request
// meets the reply after it and discarding input only drops what already arrived.
#include "zwave/Chip.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

namespace fuzzing {

// Sends the console's output to /dev/null (or leaves it on the terminal when FUZZ_VERBOSE is set).
void quietConsole();

class VirtualModule {
public:
    VirtualModule(const uint8_t* data, size_t size);
    ~VirtualModule();
    VirtualModule(const VirtualModule&) = delete;
    VirtualModule& operator=(const VirtualModule&) = delete;

    // The slave side of a pseudo-terminal kept open for the whole process.
    static const char* ttyPath();
    // From now on the descriptor talks to this module and the clock is virtual.
    void attach(int fd);
    // Bytes the tool wrote so far.
    size_t written() const;
};

// One execution: the first input byte is the target's own choice of options and commands, the rest
// is what the module says. `body(choice, chip)` runs on a chip in `mode` attached to that module;
// the errors the entry would report are part of normal operation and end the execution.
template <typename Body> int runOnModule(const uint8_t* data, size_t size, ChipMode mode, Body body) {
    quietConsole();
    if (size == 0)
        return 0;
    VirtualModule module(data + 1, size - 1);
    Chip chip(VirtualModule::ttyPath(), mode);
    if (!chip.isUsable())
        abort();
    module.attach(chip.tty.get());
    try {
        body(data[0], chip);
    } catch (const std::exception&) {
    }
    return 0;
}

} // namespace fuzzing
