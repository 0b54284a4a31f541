// tarnwick-emu: a stand-in for the Z-Wave module on a pseudo-terminal and a fake reset line.
#include "Commands.hpp"
#include "Faults.hpp"
#include "GeneratedContent.hpp"
#include "Prng.hpp"
#include "Server.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace emu;

static const char* const HELP =
    "Usage:\n"
    "  tarnwick-emu serve --state DIR --link PATH (--gpio-mount DIR --reset-gpio N | --reset-fifo PATH)\n"
    "                     [--baud 0|115200] [--boot-delay-ms N] [--erase-ms N] [--write-ms N]\n"
    "                     [--crc-ms N] [--set-default-ms N] [--ack-timeout-ms N] [--initial-level 0|1]\n"
    "                     [--trace FILE] [--fault SPEC]... [--ready-file PATH]\n"
    "  tarnwick-emu make-firmware --version TEXT --library N [--nvm-size BYTES] [--size BYTES]\n"
    "                     [--default-nvm fresh|zeros|erased] [--record-size 16|32] -o FILE.hex\n"
    "  tarnwick-emu init --state DIR [--firmware FILE.hex] [--populate-nvm | --nvm FILE] [--nvr FILE]\n"
    "  tarnwick-emu --help\n"
    "\n"
    "serve: emulates the module. Its UART is a pseudo-terminal whose slave is linked at --link. Its\n"
    "reset line (active low) is GPIO N of a fake sysfs GPIO tree mounted at --gpio-mount (normally\n"
    "/sys/class/gpio inside a private mount namespace), or the characters '0'/'1' written to the FIFO\n"
    "--reset-fifo. Line low: the module is held in reset and its programming interface answers once\n"
    "enabled (ac 53 aa 55 echoed); releasing and re-asserting the line restarts the interface. Line\n"
    "high: after the boot delay the firmware in flash boots if the flash passes its CRC and holds an\n"
    "emulator identity record (see make-firmware); it sends the started notification (0x0A) and\n"
    "answers the Serial API (0x08, 0x15, 0x2E, 0x42; other function ids are ignored). Otherwise the\n"
    "module stays silent.\n"
    "  --state DIR          flash.bin (131072 bytes), nvm.bin, nvr.bin (256 bytes); loaded at start\n"
    "                       (missing: erased flash, empty NVM, generated NVR), saved when the host\n"
    "                       has been quiet for 20 ms and at exit\n"
    "  --baud 0|N           0 (default): no pacing; N: every byte in either direction takes its\n"
    "                       8N1 time (86.8 us at 115200) and the busy times default to realistic\n"
    "                       values (boot 120, erase 20, write 12, CRC 1800, set default 700 ms)\n"
    "  --boot-delay-ms N    reset release to started notification (default 20)\n"
    "  --erase-ms N         busy time of a sector erase (default 0)\n"
    "  --write-ms N         busy time of a sector write (default 0)\n"
    "  --crc-ms N           busy time of the CRC check (default 0)\n"
    "  --set-default-ms N   set default to its callback (default 5)\n"
    "  --ack-timeout-ms N   how long a frame of the module waits for the host's ACK (default 1600);\n"
    "                       a NAK makes the module resend it, up to 3 times\n"
    "  --initial-level 0|1  level of the reset line at start (default 1: the module boots)\n"
    "  --trace FILE         one line per frame, control byte, command, reply, line change, event:\n"
    "                       <CLOCK_MONOTONIC ns> <in|out|line|event> <kind> <name> [hex bytes]\n"
    "                       e.g. '... in prog continue-write 80 12 34 56', '... in frame nvm-read\n"
    "                       01 07 00 2e 01 40 00 00 91', '... line reset 0', '... event crc passed';\n"
    "                       '... event stall pty|run MS' when the machine held pty input or the\n"
    "                       emulator back 250 ms or more\n"
    "  --ready-file PATH    written (pid and pty path) once the pty and the reset line are served\n"
    "  SIGTERM/SIGINT end it after saving the state.\n"
    "\n"
    "make-firmware: writes an EMULATOR firmware image (not the maker's firmware) as Intel HEX: SIZE\n"
    "bytes of filler code from address 0 (default 115000), an identity record at 0x1F800 (version\n"
    "text, library type, NVM size, default NVM recipe) and the CRC-32/MPEG-2 of bytes 0..131067 in\n"
    "the last four bytes, most significant first. Defaults: --nvm-size 16384, --default-nvm fresh\n"
    "(64 bytes of fresh network data, zeros after), --record-size 32.\n"
    "\n"
    "init: seeds a state directory: the flash from FILE.hex (erased when absent), the NVM from the\n"
    "firmware's default, from --nvm FILE, or (--populate-nvm) a static controller's NVM of 16384\n"
    "bytes holding a network (bytes 0-1: L = 12300, the offset of the last content byte; bytes 2-3:\n"
    "P = 10100; data up to L, zeros after), and the NVR from --nvr FILE or generated.\n"
    "\n";

namespace {

class Arguments {
public:
    Arguments(int argc, char** argv, int first) : argc(argc), argv(argv), index(first) {}

    bool next(std::string& option) {
        if (index >= argc)
            return false;
        option = argv[index++];
        return true;
    }
    bool value(const std::string& option, std::string& out) {
        if (index >= argc) {
            fprintf(stderr, "tarnwick-emu: %s needs a value\n", option.c_str());
            return false;
        }
        out = argv[index++];
        return true;
    }
    bool number(const std::string& option, long long& out, long long low, long long high) {
        std::string text;
        if (!value(option, text))
            return false;
        char* end = nullptr;
        errno = 0;
        out = strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0' || errno != 0 || out < low || out > high) {
            fprintf(stderr, "tarnwick-emu: invalid value '%s' for %s\n", text.c_str(), option.c_str());
            return false;
        }
        return true;
    }

private:
    int argc;
    char** argv;
    int index;
};

int usageError(const std::string& message) {
    fprintf(stderr, "tarnwick-emu: %s\nTry 'tarnwick-emu --help'.\n", message.c_str());
    return 2;
}

int runServe(Arguments arguments) {
    ServeOptions options;
    std::string option;
    long long n = 0;
    bool timingGiven[5] = {};
    long long timingMs[5] = {};
    long long ackTimeoutMs = -1;
    static const char* const timingOptions[5] = {"--boot-delay-ms", "--erase-ms", "--write-ms", "--crc-ms",
                                                 "--set-default-ms"};
    while (arguments.next(option)) {
        bool ok = true;
        int timing = -1;
        for (int i = 0; i < 5; ++i)
            if (option == timingOptions[i])
                timing = i;
        if (timing >= 0) {
            ok = arguments.number(option, timingMs[timing], 0, 3600000);
            timingGiven[timing] = true;
        } else if (option == "--state") {
            ok = arguments.value(option, options.stateDirectory);
        } else if (option == "--link") {
            ok = arguments.value(option, options.linkPath);
        } else if (option == "--gpio-mount") {
            ok = arguments.value(option, options.gpioMount);
        } else if (option == "--reset-gpio") {
            ok = arguments.number(option, n, 0, 100000);
            options.resetGpio = int(n);
        } else if (option == "--reset-fifo") {
            ok = arguments.value(option, options.resetFifo);
        } else if (option == "--baud") {
            ok = arguments.number(option, n, 0, 4000000);
            options.baud = unsigned(n);
        } else if (option == "--ack-timeout-ms") {
            ok = arguments.number(option, ackTimeoutMs, 0, 60000);
        } else if (option == "--initial-level") {
            ok = arguments.number(option, n, 0, 1);
            options.initialLevel = int(n);
        } else if (option == "--trace") {
            ok = arguments.value(option, options.tracePath);
        } else if (option == "--fault") {
            std::string description;
            ok = arguments.value(option, description);
            options.faults.push_back(description);
        } else if (option == "--ready-file") {
            ok = arguments.value(option, options.readyFile);
        } else {
            return usageError("unknown option '" + option + "' for serve");
        }
        if (!ok)
            return 2;
    }
    if (options.stateDirectory.empty())
        return usageError("serve needs --state DIR");
    if (options.resetFifo.empty() && (options.gpioMount.empty() || options.resetGpio < 0))
        return usageError("serve needs --gpio-mount DIR and --reset-gpio N, or --reset-fifo PATH");
    Faults check;
    std::string error;
    for (const std::string& description : options.faults)
        if (!check.add(description, error))
            return usageError(error);
    options.timing = options.baud > 0 ? Timing::realistic() : Timing{};
    Nanos* fields[5] = {&options.timing.bootDelay, &options.timing.eraseBusy, &options.timing.writeBusy,
                        &options.timing.crcBusy, &options.timing.setDefaultDelay};
    for (int i = 0; i < 5; ++i)
        if (timingGiven[i])
            *fields[i] = millis(timingMs[i]);
    if (ackTimeoutMs >= 0)
        options.timing.ackTimeout = millis(ackTimeoutMs);
    return serve(options);
}

int runMakeFirmware(Arguments arguments) {
    MakeFirmwareOptions options;
    options.codeSize = DEFAULT_CODE_SIZE;
    std::string option;
    long long n = 0;
    bool haveVersion = false;
    bool haveLibrary = false;
    while (arguments.next(option)) {
        bool ok = true;
        if (option == "--version") {
            ok = arguments.value(option, options.identity.version);
            haveVersion = true;
            if (ok && options.identity.version.size() > MAX_VERSION_LENGTH)
                return usageError("--version text is longer than 31 characters");
        } else if (option == "--library") {
            ok = arguments.number(option, n, 0, 255);
            options.identity.libraryType = uint8_t(n);
            haveLibrary = true;
        } else if (option == "--nvm-size") {
            ok = arguments.number(option, n, 1, 65535);
            options.identity.nvmSize = uint32_t(n);
        } else if (option == "--size") {
            ok = arguments.number(option, n, 0, long(IDENTITY_ADDRESS));
            options.codeSize = size_t(n);
        } else if (option == "--record-size") {
            ok = arguments.number(option, n, 16, 32) && (n == 16 || n == 32);
            options.recordSize = unsigned(n);
        } else if (option == "--default-nvm") {
            std::string recipe;
            ok = arguments.value(option, recipe);
            if (recipe == "fresh")
                options.identity.recipe = NvmRecipe::FreshController;
            else if (recipe == "zeros")
                options.identity.recipe = NvmRecipe::Zeros;
            else if (recipe == "erased")
                options.identity.recipe = NvmRecipe::Erased;
            else
                return usageError("--default-nvm is fresh, zeros or erased");
        } else if (option == "-o" || option == "--output") {
            ok = arguments.value(option, options.output);
        } else {
            return usageError("unknown option '" + option + "' for make-firmware");
        }
        if (!ok)
            return 2;
    }
    if (!haveVersion || !haveLibrary || options.output.empty())
        return usageError("make-firmware needs --version, --library and -o");
    options.identity.recipeSeed = seedFromText(options.identity.version.c_str());
    std::string error;
    if (!makeFirmware(options, error)) {
        fprintf(stderr, "tarnwick-emu: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int runInit(Arguments arguments) {
    InitOptions options;
    std::string option;
    while (arguments.next(option)) {
        bool ok = true;
        if (option == "--state")
            ok = arguments.value(option, options.stateDirectory);
        else if (option == "--firmware")
            ok = arguments.value(option, options.firmware);
        else if (option == "--populate-nvm")
            options.populateNvm = true;
        else if (option == "--nvm")
            ok = arguments.value(option, options.nvmFile);
        else if (option == "--nvr")
            ok = arguments.value(option, options.nvrFile);
        else
            return usageError("unknown option '" + option + "' for init");
        if (!ok)
            return 2;
    }
    if (options.stateDirectory.empty())
        return usageError("init needs --state DIR");
    if (options.populateNvm && !options.nvmFile.empty())
        return usageError("--populate-nvm and --nvm exclude each other");
    std::string error;
    if (!initState(options, error)) {
        fprintf(stderr, "tarnwick-emu: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usageError("no command given");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(HELP, stdout);
        fputs(FAULTS_HELP, stdout);
        return 0;
    }
    Arguments arguments(argc, argv, 2);
    if (command == "serve")
        return runServe(arguments);
    if (command == "make-firmware")
        return runMakeFirmware(arguments);
    if (command == "init")
        return runInit(arguments);
    return usageError("unknown command '" + command + "'");
}
