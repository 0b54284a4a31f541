#include "config/Configuration.hpp"

#include "util/Console.hpp"

namespace {

const char USAGE_OPTIONS[] =
    " [--reset-pin pin] [[--bridge] | [--hex hexfile]] [--read-nvr nvrfile] [--backup-nvm nvmfile]] "
    "[[--erase-nvm] | [--migrate-nvm] | [--restore-nvm nvmfile]] [--soft-reset] -- ttypath";

bool given(StringView path) {
    return path.size() != 0;
}

// Leading decimal digits as an unsigned 32-bit number; no sign, no blanks, at least one digit,
// anything after the digits ignored.
bool parseDecimal(StringView text, uint32_t& out) {
    uint64_t value = 0;
    size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        value = value * 10 + unsigned(text[digits] - '0');
        if (value > UINT32_MAX)
            return false;
    }
    if (digits == 0)
        return false;
    out = uint32_t(value);
    return true;
}

} // namespace

Configuration::Configuration(const char* const* argv) {
    // --help and --version win over everything else on the line: a silent first reading finds
    // them where they are options, and then nothing is checked or printed but what they ask for.
    Configuration silent(argv, Silent{});
    if (silent.request != Request::Jobs) {
        request = silent.request;
        programName = silent.programName;
        return;
    }
    parse(argv);
}

Configuration::Configuration(const char* const* argv, Silent) : silent(true) {
    parse(argv);
}

void Configuration::parse(const char* const* argv) {
    static const char* const noArguments[] = {nullptr};
    Arguments rest(argv != nullptr ? argv : noArguments);

    if (rest.peek() != nullptr)
        programName = rest.next();

    bool ok = true;
    bool optionsAllowed = true;
    while (rest.peek() != nullptr) {
        StringView arg = rest.next();
        if (optionsAllowed && arg.size() != 0 && arg[0] == '-') {
            if (arg == "--")
                optionsAllowed = false;
            else
                // Every option is parsed, so that each problem is reported and every path
                // argument is consumed, even after an earlier failure.
                ok = parseOption(arg, rest) && ok;
        } else if (given(ttyPath)) {
            report("Extra argument: ", arg);
            ok = false;
        } else {
            ttyPath = arg;
        }
    }

    if (request != Request::Jobs)
        return;
    valid = runChecks() && ok;
    if (valid)
        resolve();
    else
        report(usageLine());
}

StringView Configuration::usageName() const {
    return programName.empty() ? StringView("tarnwick") : programName;
}

Buffer Configuration::usageLine() const {
    Buffer line;
    line.appendAll("Usage: ", usageName(), USAGE_OPTIONS);
    return line;
}

bool Configuration::parseOption(StringView option, Arguments& rest) {
    struct Switch {
        StringView name;
        bool Configuration::*field;
    };
    static const Switch switches[] = {
        {"--bridge", &Configuration::bridge},
        {"--erase-nvm", &Configuration::eraseNvm},
        {"--migrate-nvm", &Configuration::migrateNvm},
        {"--soft-reset", &Configuration::softResetAllowed},
        {"--no-soft-reset", &Configuration::noSoftReset},
        {"--get-version", &Configuration::versionRequested},
        {"--verbose", &Configuration::verbose},
        {"--assume-reset-pin-asserted", &Configuration::assumeResetPinAsserted},
    };
    for (const Switch& s : switches) {
        if (option == s.name) {
            this->*s.field = true;
            return true;
        }
    }
    // The first of them on the line is what the run does.
    if (option == "--help" || option == "--version") {
        if (request == Request::Jobs)
            request = option == "--help" ? Request::Help : Request::ProgramVersion;
        return true;
    }

    if (option == "--backup-nvm")
        return takePath(rest, option, backupPath);
    if (option == "--restore-nvm")
        return takePath(rest, option, restorePath);
    if (option == "--read-nvr")
        return takePath(rest, option, nvrPath);
    if (option == "--hex")
        return takePath(rest, option, hexPath);
    if (option == "--reset-pin")
        return parseResetPin(rest);

    report("Option not supported: ", option);
    return false;
}

bool Configuration::parseResetPin(Arguments& rest) {
    if (rest.peek() == nullptr) {
        report("Argument required after --reset-pin");
        return false;
    }
    if (resetGpio != 0) {
        // The argument is left for the main loop to examine.
        report("Duplicate --reset-pin");
        return false;
    }
    StringView value = rest.next();
    parseDecimal(value, resetGpio);
    if (resetGpio != 0)
        return true;
    report("Invalid --reset-pin: ", value);
    return false;
}

bool Configuration::takePath(Arguments& rest, StringView option, StringView& out) {
    if (rest.peek() == nullptr) {
        report("Error: Path required after ", option);
        return false;
    }
    out = rest.next();
    if (out.size() == 0) {
        report("Error: Empty path specified for ", option);
        return false;
    }
    return true;
}

bool Configuration::checkSoftReset() {
    if (softResetAllowed && noSoftReset) {
        report("Error: --soft-reset conflicts with --no-soft-reset");
        return false;
    }
    return true;
}

bool Configuration::runChecks() {
    bool passed = true;
    auto check = [this, &passed](bool conflict, const char* line) {
        if (conflict) {
            report(line);
            passed = false;
        }
    };
    const bool noResetLine = resetGpio == 0 && !assumeResetPinAsserted;

    check(!given(ttyPath), "Error: Path to Z-Wave serial port tty 'ttypath' is required");
    passed = checkSoftReset() && passed;
    check(assumeResetPinAsserted && resetGpio != 0,
          "Error: --reset-pin conflicts with --assume-reset-pin-asserted");
    check(assumeResetPinAsserted && versionRequested,
          "Error: --get-version conflicts with --assume-reset-pin-asserted");
    check(assumeResetPinAsserted && migrateNvm,
          "Error: --migrate-nvm conflicts with --assume-reset-pin-asserted");
    check(assumeResetPinAsserted && eraseNvm,
          "Error: --erase-nvm conflicts with --assume-reset-pin-asserted");
    check(assumeResetPinAsserted && given(backupPath),
          "Error: --backup-nvm conflicts with --assume-reset-pin-asserted");
    check(assumeResetPinAsserted && given(restorePath),
          "Error: --restore-nvm conflicts with --assume-reset-pin-asserted");
    check(noResetLine && bridge, "Error: --bridge requires --reset-pin");
    check(noResetLine && given(hexPath), "Error: --hex requires --reset-pin");
    check(noResetLine && given(nvrPath), "Error: --read-nvr requires --reset-pin");
    check(given(hexPath) && bridge, "Error: --bridge conflicts with --hex");
    check(migrateNvm && given(hexPath), "Error: --hex conflicts with --migrate-nvm");
    check(migrateNvm && eraseNvm, "Error: --erase-nvm conflicts with --migrate-nvm");
    check(migrateNvm && given(restorePath), "Error: --restore-nvm conflicts with --migrate-nvm");
    check(migrateNvm && !bridge, "Error: --migrate-nvm requires --bridge");
    return passed;
}

void Configuration::resolve() {
    if (bridge)
        hexPath = BRIDGE_FIRMWARE_PATH;
    // A restore erases the NVM itself.
    if (given(restorePath))
        eraseNvm = false;
}
