#include "EmuHarness.hpp"

#include "FirmwareIdentity.hpp"
#include "GeneratedContent.hpp"
#include "IntelHex.hpp"
#include "ModuleState.hpp"
#include "Prng.hpp"
#include "gpiofs/GpioFs.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace emutest {

namespace {

const std::string FIRMWARE_DIRECTORY = "/usr/share/velmora/tarnwick";

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error("emulator harness: " + message);
}

void mountOrFail(const std::string& target, const char* type, const std::string& options) {
    if (mount("tarnwick-test", target.c_str(), type, MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        fail("cannot mount " + std::string(type) + " over " + target + ": " + strerror(errno));
}

// Once per process: a private mount namespace (the children inherit it) and a tmpfs over /var/lib
// and the installed firmware directory, so that neither the GPIO tree, the images nor the
// migration's safety copies touch the host. A firmware directory the host lacks is made inside an
// overlay over its nearest existing parent, so that nothing is created on the host either.
void enterNamespaceOnce() {
    static const std::string failure = [] {
        try {
            std::string error;
            if (!gpiofs::enterPrivateMountNamespace(error))
                fail(error);
            // The overlay's own directories live in a tmpfs of their own, out of the tests' sight.
            mountOrFail("/var/lib", "tmpfs", "mode=0755");
            std::filesystem::path base = FIRMWARE_DIRECTORY;
            while (!std::filesystem::exists(base))
                base = base.parent_path();
            if (base != std::filesystem::path(FIRMWARE_DIRECTORY)) {
                std::filesystem::create_directories("/var/lib/.overlay/upper");
                std::filesystem::create_directories("/var/lib/.overlay/work");
                mountOrFail(base, "overlay",
                            "lowerdir=" + base.string() +
                                ",upperdir=/var/lib/.overlay/upper,workdir=/var/lib/.overlay/work");
                std::filesystem::create_directories(FIRMWARE_DIRECTORY);
            }
            mountOrFail(FIRMWARE_DIRECTORY, "tmpfs", "mode=0755");
            mountOrFail("/var/lib", "tmpfs", "mode=0755"); // a fresh one on top, empty as on a new gateway
            return std::string();
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
    }();
    if (!failure.empty())
        throw std::runtime_error(failure);
}

void installFirmware(const std::string& name, const Firmware& description) {
    std::string path = FIRMWARE_DIRECTORY + "/serialapi_controller_" + name + ".hex";
    unlink(path.c_str());
    if (!description.version.empty()) {
        std::string text = emu::writeIntelHex(Emu::firmwareImage(description));
        Emu::writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    }
}

// Forks and runs `words` (a program found on the PATH) with the given standard descriptors.
pid_t spawn(const std::vector<std::string>& words, int in, int out, int err) {
    pid_t child = fork();
    if (child < 0)
        fail(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& word : words)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// Sleeps until `child` ends (its pidfd turns readable) or `ms` have passed; reaps it when it ended.
// A child reaped already has no pidfd.
bool awaitExit(pid_t child, int ms, int* status) {
    pollfd entry = {int(syscall(SYS_pidfd_open, child, 0)), POLLIN, 0};
    if (entry.fd < 0)
        return true;
    poll(&entry, 1, ms);
    close(entry.fd);
    return waitpid(child, status, WNOHANG) == child;
}

// Appends the trace file's complete lines from `offset` on, as the emulator appends to it.
void readTrace(const std::string& path, size_t& offset, std::vector<std::string>& lines) {
    std::ifstream file(path);
    file.seekg(std::streamoff(offset));
    for (std::string line; std::getline(file, line) && !file.eof(); offset += line.size() + 1)
        lines.push_back(line);
}

} // namespace

// The wrapper is split at blanks.
const std::vector<std::string>& Emu::toolCommand() {
    static const std::vector<std::string> command = [] {
        std::vector<std::string> words;
        std::istringstream wrapper(getenv("TARNWICK_TOOL_WRAPPER") ? getenv("TARNWICK_TOOL_WRAPPER") : "");
        for (std::string word; wrapper >> word;)
            words.push_back(word);
        const char* tool = getenv("TARNWICK_TOOL");
        words.push_back(tool != nullptr && *tool != '\0' ? tool : TARNWICK_TOOL_PATH);
        return words;
    }();
    return command;
}

std::vector<uint8_t> Emu::firmwareImage(const Firmware& description) {
    emu::FirmwareIdentity identity{description.version, uint8_t(description.library), description.nvmSize};
    identity.recipeSeed = emu::seedFromText(description.version.c_str());
    return emu::makeFirmwareImage(identity, description.codeSize);
}

std::vector<uint8_t> Emu::readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::string error; !emu::readWholeFile(path, bytes, error))
        fail(error);
    return bytes;
}

std::string Emu::readText(const std::string& path) {
    std::vector<uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

void Emu::writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (std::string error; !emu::writeWholeFile(path, bytes, error))
        fail(error);
}

Emu Emu::start(const EmuOptions& options) {
    enterNamespaceOnce();
    installFirmware("bridge_ZM5304_EU_v6_81_01", options.bridge);
    installFirmware("static_ZM5304_EU_v6_71_01", options.static671);
    installFirmware("static_ZM5304_EU_v6_61_00", options.static661);
    // The migration's safety copies of an earlier test in this process.
    std::filesystem::remove_all("/var/lib/tarnwick");

    Emu emu;
    // In memory where there is a tmpfs: on a disk, a write of the emulator's trace can wait seconds
    // for the journal behind other tests' fsyncs, and a module that stalls that long is no real one.
    for (const char* parent : {"/dev/shm", "/tmp"}) {
        std::string directory = std::string(parent) + "/tarnwick-emu-XXXXXX";
        if (emu.directory.empty() && mkdtemp(directory.data()) != nullptr)
            emu.directory = directory;
    }
    if (emu.directory.empty())
        fail(std::string("mkdtemp: ") + strerror(errno));

    // The state: flash with the running firmware, the NVM, a generated NVR.
    std::filesystem::create_directory(emu.path("state"));
    std::vector<uint8_t> flash(emu::FLASH_SIZE, 0xFF), nvm = options.nvm;
    if (!options.firmware.version.empty())
        flash = firmwareImage(options.firmware);
    if (nvm.empty() && options.populateNvm)
        nvm = emu::populatedStaticNvm();
    else if (nvm.empty() && emu::identifyFlash(flash))
        nvm = emu::defaultNvm(*emu::identifyFlash(flash));
    writeFile(emu.path("state/flash.bin"), flash);
    writeFile(emu.path("state/nvm.bin"), nvm);
    writeFile(emu.path("state/nvr.bin"), emu::defaultNvr());

    // Options with an empty value (a timing of -1) are left out.
    auto ms = [](int value) { return value < 0 ? std::string() : std::to_string(value); };
    // clang-format off
    const std::pair<const char*, std::string> settings[] = {
        {"--state", emu.path("state")}, {"--link", emu.path("tty")}, {"--gpio-mount", "/sys/class/gpio"},
        {"--reset-gpio", "17"}, {"--baud", std::to_string(options.baud)}, {"--trace", emu.path("trace.txt")},
        {"--ready-file", emu.path("ready")}, {"--initial-level", std::to_string(options.initialLevel)},
        {"--boot-delay-ms", ms(options.bootDelayMs)}, {"--write-ms", ms(options.writeMs)},
        {"--crc-ms", ms(options.crcMs)}, {"--set-default-ms", ms(options.setDefaultMs)}};
    // clang-format on
    std::vector<std::string> arguments = {TARNWICK_EMU_PATH, "serve"};
    for (const auto& [option, value] : settings)
        if (!value.empty())
            arguments.insert(arguments.end(), {option, value});
    for (const std::string& fault : options.faults)
        arguments.insert(arguments.end(), {"--fault", fault});

    int log = open(emu.path("emulator.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    emu.pid = spawn(arguments, 0, log, log);
    close(log);
    for (int waited = 0; access(emu.path("ready").c_str(), F_OK) != 0; waited += 2)
        if (waited > 10000 || awaitExit(emu.pid, 2, nullptr))
            fail("tarnwick-emu did not become ready: " + readText(emu.path("emulator.log")));
    return emu;
}

Emu::Emu(Emu&& other) noexcept
    : directory(std::exchange(other.directory, "")), pid(std::exchange(other.pid, -1)), killed(other.killed) {
}

Emu::~Emu() {
    stop();
    if (!directory.empty() && getenv("TARNWICK_KEEP_EMU") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
}

void Emu::stop() {
    if (pid < 0)
        return;
    kill(pid, SIGTERM);
    if (!awaitExit(pid, 5000, nullptr)) {
        kill(pid, SIGKILL);
        killed = true;
        waitpid(pid, nullptr, 0);
        // A killed FUSE server leaves its mount behind.
        umount2("/sys/class/gpio", MNT_DETACH);
    }
    pid = -1;
}

std::vector<uint8_t> Emu::state(const std::string& name) {
    stop();
    return readFile(path("state/" + name));
}

std::vector<std::string> Emu::trace() {
    stop();
    size_t offset = 0;
    std::vector<std::string> lines;
    readTrace(path("trace.txt"), offset, lines);
    return lines;
}

RunResult Emu::run(const std::vector<std::string>& arguments, const SignalPlan& plan,
                   const std::string& shell) const {
    std::vector<std::string> words;
    if (!shell.empty())
        words = {"/bin/bash", "-c", shell, "bash"};
    words.insert(words.end(), toolCommand().begin(), toolCommand().end());
    words.insert(words.end(), arguments.begin(), arguments.end());
    size_t traceOffset = 0;
    std::vector<std::string> trace;
    readTrace(path("trace.txt"), traceOffset, trace);
    RunResult result;
    result.firstTraceLine = trace.size();

    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(path("tool.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(path("tool.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto started = std::chrono::steady_clock::now();
    auto elapsedMs = [&started] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    };
    pid_t child = spawn(words, null, out, err);
    for (int fd : {null, out, err})
        close(fd);
    // Sleeps on a pidfd until the tool ends: a harness that woke every millisecond for the whole
    // run, beside busy cores, kept the kernel's workers that carry pty input off the processors for
    // seconds. While the plan's moment is still sought, it looks at the trace every 5 ms; that
    // moment is the elapsed time when its trace line was seen, then `afterMs` more.
    size_t searchedTo = result.firstTraceLine, occurrences = 0;
    double momentMs = -1;
    int status = 0;
    for (bool seeking = plan.signal != 0;;) {
        // The hang guard, or the next look at the trace, or the moment.
        const double wakeMs = !seeking ? 60000 : momentMs < 0 ? elapsedMs() + 5 : momentMs;
        if (awaitExit(child, int(std::clamp(std::ceil(wakeMs - elapsedMs()), 0.0, 60000.0)), &status))
            break;
        if (elapsedMs() >= 60000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0); // killed: no exit status
            break;
        }
        if (seeking && momentMs < 0) {
            readTrace(path("trace.txt"), traceOffset, trace);
            for (; searchedTo < trace.size() && occurrences < plan.occurrence; ++searchedTo)
                occurrences += trace[searchedTo].find(plan.tracePattern) != std::string::npos ? 1 : 0;
            momentMs = occurrences == plan.occurrence ? elapsedMs() + plan.afterMs : -1;
        }
        if (seeking && momentMs >= 0 && elapsedMs() >= momentMs) {
            kill(child, plan.signal);
            // The steady clock is CLOCK_MONOTONIC, the trace's clock.
            result.signalClock =
                std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
            result.signalledAt = elapsedMs() / 1000;
            seeking = false;
        }
    }
    result.exitStatus = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.seconds = elapsedMs() / 1000;
    result.out = readText(path("tool.out"));
    result.err = readText(path("tool.err"));
    return result;
}

} // namespace emutest
