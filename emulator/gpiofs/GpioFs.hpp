#pragma once
// A fake /sys/class/gpio served over FUSE from a background thread, with the kernel's
// synchronous semantics: a write to `export` creates gpioN/ before the write returns.
// Used by the module emulator (the reset line) and by the GPIO and chip-link tests.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct fuse_session;

namespace gpiofs {

// Deterministic faults; all counts apply per line after each export.
struct Faults {
    unsigned eaccesDirectionWrites = 0; // EACCES on the first k direction writes after an export
    bool ebusyOnExport = false;         // every write to `export` fails with EBUSY
    bool einvalOnDirection = false;     // every direction write fails with EINVAL
    bool eaccesOnValueOpen = false;     // opening gpioN/value fails with EACCES
};

struct Event {
    enum Kind { Export, Unexport, Direction, Value };
    Kind kind;
    unsigned gpio;
    std::string text;    // what was written ("17", "low", "1", ...)
    int64_t monotonicNs; // CLOCK_MONOTONIC when the write was served
    int error;           // 0, or the errno the write was answered with
};

class GpioFs {
public:
    GpioFs() = default;
    ~GpioFs(); // unmounts
    GpioFs(const GpioFs&) = delete;
    GpioFs& operator=(const GpioFs&) = delete;

    // Lines that are exported before the run, with their direction ("in" or "out") and value.
    void preExport(unsigned gpio, const std::string& direction = "in", int value = 0);
    void setFaults(const Faults& faults);

    // Mounts at `mountPoint` (an existing directory) and serves from a thread. Returns false and
    // sets `error` when mounting fails.
    bool mount(const std::string& mountPoint, std::string& error);
    void unmount();

    // Called from the serving thread after each value write that changed or set the level of a line,
    // before the write returns to the writer. It must not touch the mounted files (the thread that
    // would answer is the one running the callback).
    void onValue(std::function<void(unsigned gpio, int value)> callback);

    // Observations (thread-safe snapshots).
    std::vector<Event> events() const;
    bool isExported(unsigned gpio) const;
    std::string direction(unsigned gpio) const; // "in"/"out", empty when not exported
    int value(unsigned gpio) const;             // -1 when not exported

private:
    struct Line {
        std::string direction; // "in" or "out"
        int value;
        uint64_t generation;      // tells handles of an earlier export apart from current ones
        unsigned directionWrites; // since the export, for the EACCES fault
    };
    friend struct Operations; // the FUSE request handlers

    void serve();
    // Handlers of writes, called with the lock held; they return 0 or the errno to answer with.
    int exportLine(const std::string& text, unsigned& gpio);
    int unexportLine(const std::string& text, unsigned& gpio);
    int writeDirection(unsigned gpio, uint64_t generation, const std::string& text, int& level);
    int writeValue(unsigned gpio, uint64_t generation, const std::string& text, int& level);

    mutable std::mutex mutex;
    std::map<unsigned, Line> lines;
    std::vector<Event> log;
    Faults faults;
    uint64_t lastGeneration = 0;
    std::function<void(unsigned, int)> valueCallback;

    fuse_session* session = nullptr;
    int wakeFd = -1; // eventfd that stops the serving thread
    std::thread server;
};

// Makes the calling process's mounts private in a new mount namespace and ensures that
// /sys/class/gpio is an empty directory that can be mounted over (a tmpfs over /sys/class when the
// host has no GPIO class). Fails loudly (returns false with a reason) when not possible.
bool enterPrivateMountNamespace(std::string& error);

} // namespace gpiofs
