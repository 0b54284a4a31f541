#pragma once
// The end-to-end tables: one row per job and situation, each run of the real tool against a fresh
// emulator, and what the row names must be seen afterwards.
#include "FirmwareIdentity.hpp"
#include "GeneratedContent.hpp"
#include "IntelHex.hpp"
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"
#include "zwave/BridgeMigration.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

namespace emutest {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
// `count` trace lines (ANY: any number) hold `text`; with `waitMs`, the tool waited that long between
// two of them: some gap is at least `waitMs` (less what the emulator may have taken to see the first
// line: its stamps are when it read them), and the shortest such gap (a stalled machine stretches
// some, not all) is not a second more.
constexpr size_t ANY = SIZE_MAX;
struct Count {
    std::string text;
    size_t count;
    int waitMs = 0;
};
// Every test process builds all tables: their bytes are made only when a row runs.
using Make = std::function<Bytes()>;

// "@name" in arguments, lines, texts and file names stands for the path `name` in the emulator's
// directory ("@tty" is its tty), "@tool" for the program name the tool sees.
struct Row {
    std::string name;
    std::vector<std::string> arguments;
    int exitStatus = 0;
    const char* word = nullptr;  // the last status word; by default "Done" for 0, "Failed" for 1
    Lines lines{};               // stderr, exactly; a safety copy's time stamp reads "<stamp>"
    bool linesUpTo = false;      // stderr stops anywhere in `lines` (at a signal's random moment)
    bool linesAmong = false;     // `lines` are among stderr's, its last Error line the last of them
    std::vector<Count> counts{}; // trace lines; unless cancelled, every fault also shows as fired
    EmuOptions options{};
    std::vector<std::pair<std::string, Make>> inputs{}; // files written before the run
    std::vector<std::pair<std::string, Make>> files{};  // files after it; nullptr: no such file
    Make flash{};
    Make nvm{};          // the module's NVM begins with these bytes, zeros after them
    Lines shown{};       // texts on the status lines (stdout)
    Lines order{};       // trace lines holding these texts, in this order
    SignalPlan signal{}; // a "Cancelled" run must end within the hang guard after it
    std::string shell{}; // see Emu::run
    double minSeconds = 0;
    std::function<void(Emu&)> check{};

    friend void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }
};

class Tool : public testing::TestWithParam<Row> {};
void runRow(const Row& row); // the body of Tool.Run, for tests that run several rows

inline std::string rowName(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

std::string expand(const std::string& text, const Emu& emu);
unsigned signalSeed(); // TARNWICK_SIGNAL_SEED, or the time

// Test data shared by the tables.
// What a migration of the populated 4.62 module with a backup prints.
// clang-format off
inline const Lines MIGRATED = {"-- Starting migration", "Version: Z-Wave 4.62 Static controller library",
                               "-- Reading NVM", "-- Backing up NVM to: @backup.bin",
                               "-- Flashing: Bridge controller library (--bridge)",
                               "Version: Z-Wave 4.81 Bridge controller library", "-- Writing NVM"};
// clang-format on
inline const Make staticNvm = [] { return emu::populatedStaticNvm(); }; // every module starts with it
inline Bytes noZeros(size_t size) { // an image unlike it, without a zero byte
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = uint8_t((i * 31 + 7) % 255 + 1);
    return image;
}
inline const Make nvmNoZeros = [] { return noZeros(16384); }; // one of the module's NVM size
inline const Make defaultNvr = [] { return emu::defaultNvr(); };
inline Bytes defaultNvm(const Firmware& firmware = EmuOptions{}.firmware) { // what an erase leaves
    return emu::defaultNvm(*emu::identifyFlash(Emu::firmwareImage(firmware)));
}
inline Bytes hexFile(const Bytes& image) {
    std::string text = emu::writeIntelHex(image);
    return Bytes(text.begin(), text.end());
}
inline const Make bridgeNvm = [] { // the populated NVM converted for the bridge firmware
    Bytes source = staticNvm(), target(32768);
    View converted = convertToBridge(View(source.data(), source.size()), Span(target.data(), 32768));
    return Bytes(converted.data(), converted.data() + converted.size());
};
inline Make image(const Firmware& firmware) {
    return [firmware] { return Emu::firmwareImage(firmware); };
}
inline Make hexImage(const Firmware& firmware) {
    return [firmware] { return hexFile(Emu::firmwareImage(firmware)); };
}

} // namespace emutest
