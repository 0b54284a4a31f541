#pragma once
// The command line turned into one record: the tty, four file paths, the reset line and the
// switches, checked for conflicts. Nothing is opened here; the entry only looks at `valid`.
#include "util/Arguments.hpp"
#include "util/Buffer.hpp"
#include "util/Console.hpp"
#include "util/View.hpp"

#include <cstdint>

// The installed bridge controller firmware (SDK 6.81.01) that --bridge flashes.
inline constexpr CStringLiteralView BRIDGE_FIRMWARE_PATH =
    "/usr/share/velmora/tarnwick/serialapi_controller_bridge_ZM5304_EU_v6_81_01.hex";

class Configuration {
public:
    // Parses, checks and prints one line per problem, then the usage line when invalid.
    // `argv` is a null-terminated vector of NUL-terminated strings; its first entry is the
    // program name. The paths below point into it, so it must outlive the record.
    explicit Configuration(const char* const* argv);

    // Views into argv (or BRIDGE_FIRMWARE_PATH); a path is given when its size is not 0, and a
    // NUL always follows it in memory, so data() may be handed to open().
    StringView ttyPath;
    StringView hexPath;
    StringView nvrPath;
    StringView backupPath;
    StringView restorePath;
    uint32_t resetGpio = 0; // 0: no reset line
    bool verbose = false;
    bool noSoftReset = false;
    bool softResetAllowed = false;
    bool versionRequested = false;
    bool eraseNvm = false;
    bool migrateNvm = false;
    bool bridge = false;
    bool assumeResetPinAsserted = false;
    bool valid = false;

    // What the command line asks for: the jobs, or only the help text or the program's version.
    enum class Request { Jobs, Help, ProgramVersion };
    Request request = Request::Jobs;
    // The first argument, or empty; the usage line shows "tarnwick" in its place then.
    StringView programName;
    StringView usageName() const;
    Buffer usageLine() const;

    // One option, with `rest` standing after it; false after printing why it was refused.
    bool parseOption(StringView option, Arguments& rest);
    // The path argument of `option` into `out`, whatever it looks like; false when missing or empty.
    bool takePath(Arguments& rest, StringView option, StringView& out);
    bool checkSoftReset();
    // Turns the record as given into the record the operations act on; only for a valid record.
    void resolve();

private:
    struct Silent {};
    Configuration(const char* const* argv, Silent);
    void parse(const char* const* argv);
    bool parseResetPin(Arguments& rest);
    bool runChecks();
    template <typename... Values> void report(const Values&... values) {
        if (!silent)
            logLine(values...);
    }

    bool silent = false;
};
