#pragma once
// End-to-end test harness: runs `tarnwick-emu serve` and the real `tarnwick` in this process's
// private mount namespace, with the fake GPIO tree at /sys/class/gpio and emulator firmware images
// at the installed firmware paths. One line of set-up per test:
//
//   Emu emu = Emu::start({.firmware = {"Z-Wave 4.62", 1}, .faults = {"drop-reply:get-version:1"}});
//   RunResult r = emu.run({"--reset-pin", "17", "--backup-nvm", emu.path("nvm.bin"), emu.path("tty")});
//   EXPECT_EQ(countLines(emu.trace(), " in frame get-version "), 2u);
//
// Failures to set up throw std::runtime_error, which fails the calling test with the reason.
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace emutest {

// An emulator firmware image: what its Serial API reports and how large its code is.
struct Firmware {
    std::string version{};
    int library = 1;
    uint32_t nvmSize = 16384;
    // Filler code bytes; small keeps flashing fast with --baud 0 (the module's default is 115000).
    size_t codeSize = 24 * 1024;
};

struct EmuOptions {
    // What the module's flash runs at start; an empty version leaves the flash erased (no boot).
    Firmware firmware = {"Z-Wave 4.62", 1};
    // The NVM at start: `nvm` when given, else a populated static-controller NVM when
    // `populateNvm`, else the firmware's default.
    bool populateNvm = true;
    std::vector<uint8_t> nvm{};
    std::vector<std::string> faults{}; // tarnwick-emu --fault descriptions
    unsigned baud = 0;
    // Emulator timings in ms; -1 keeps the emulator's default for the baud rate.
    int bootDelayMs = -1, writeMs = -1, crcMs = -1, setDefaultMs = -1;
    int initialLevel = 1; // reset line level at start: 1 = the module runs
    // The installed images the tool knows by their fixed names; an empty version installs none.
    Firmware bridge = {"Z-Wave 4.81", 7};
    Firmware static671 = {"Z-Wave 4.61", 1};
    Firmware static661 = {"Z-Wave 4.62", 1};
};

// A signal for the tool while it runs: `afterMs` after the `occurrence`th trace line of this run
// that contains `tracePattern` (every line when empty). A `signal` of 0 sends none.
struct SignalPlan {
    int signal = 0;
    int afterMs = 0;
    std::string tracePattern{};
    size_t occurrence = 1;
};

struct RunResult {
    int exitStatus = -1; // -1 when killed, by a signal or the hang guard of a minute
    std::string out;
    std::string err;
    double seconds = 0;
    double signalledAt = -1;   // seconds after the start when the SignalPlan's signal went out
    int64_t signalClock = -1;  // the same on the trace's clock (CLOCK_MONOTONIC ns)
    size_t firstTraceLine = 0; // the index of this run's first line in `Emu::trace()`
};

class Emu {
public:
    static Emu start(const EmuOptions& options = {});
    ~Emu();
    Emu(Emu&& other) noexcept; // no copies, no assignment

    // A path inside this emulator's temporary directory; "tty" is the tty to give the tool (a link to
    // the emulator's pty).
    std::string path(const std::string& name) const { return directory + "/" + name; }

    // Runs the tool with `arguments`, its output captured in files, with `plan`'s signal. A `shell`
    // script runs it through bash instead, as `bash -c shell bash TOOL ARGUMENTS`.
    RunResult run(const std::vector<std::string>& arguments, const SignalPlan& plan = {},
                  const std::string& shell = "") const;
    // The words that start the tool: the native build, or TARNWICK_TOOL started through
    // TARNWICK_TOOL_WRAPPER (e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu"), for scripts that run
    // it themselves. The last word is the program name the tool sees.
    static const std::vector<std::string>& toolCommand();

    // Stops the emulator (SIGTERM; it saves its state). Idempotent; the accessors below call it.
    void stop();
    // Whether it had to be killed, not having ended within 5 s of SIGTERM: the machine did not run
    // it, so its trace ends early and the run says nothing about the tool.
    bool wasKilled() const { return killed; }
    // The module's "flash.bin", "nvm.bin" or "nvr.bin" after the emulator saved it.
    std::vector<uint8_t> state(const std::string& name);
    std::vector<std::string> trace();

    // Helpers for test data.
    static void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
    static std::vector<uint8_t> firmwareImage(const Firmware& description);
    static std::vector<uint8_t> readFile(const std::string& path);
    static std::string readText(const std::string& path);

private:
    Emu() = default;

    std::string directory;
    pid_t pid = -1;
    bool killed = false;
};

} // namespace emutest
