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
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace emutest {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error("emulator harness: " + message);
}

// Mounts an empty tmpfs at `directory`, making the directory first when the host has none: inside
// an overlay over its nearest existing parent, so that nothing is created on the host either.
std::string mountPrivateDirectory(const std::string& directory, const std::string& scratch) {
    std::filesystem::path base = directory;
    while (!std::filesystem::exists(base))
        base = base.parent_path();
    if (base != std::filesystem::path(directory)) {
        std::string upper = scratch + "/upper", work = scratch + "/work";
        std::filesystem::create_directories(upper);
        std::filesystem::create_directories(work);
        std::string options = "lowerdir=" + base.string() + ",upperdir=" + upper + ",workdir=" + work;
        if (mount("tarnwick-test", base.c_str(), "overlay", 0, options.c_str()) != 0)
            return "cannot mount an overlay over " + base.string() + ": " + strerror(errno);
        std::filesystem::create_directories(directory);
    }
    if (mount("tarnwick-test", directory.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return "cannot mount a tmpfs over " + directory + ": " + strerror(errno);
    return std::string();
}

// Once per process: a private mount namespace (the children inherit it) and a tmpfs over /var/lib
// and the installed firmware directory, so that neither the GPIO tree, the images nor the
// migration's safety copies touch the host.
void enterNamespaceOnce() {
    static const std::string failure = [] {
        std::string error;
        if (!gpiofs::enterPrivateMountNamespace(error))
            return error;
        // The overlay's own directories live in a tmpfs of their own, out of the tests' sight.
        if (mount("tarnwick-test", "/var/lib", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            return std::string("cannot mount a tmpfs over /var/lib: ") + strerror(errno);
        std::filesystem::create_directories("/var/lib/.overlay");
        error = mountPrivateDirectory(FIRMWARE_DIRECTORY, "/var/lib/.overlay");
        if (!error.empty())
            return error;
        // A fresh /var/lib on top, empty as on a new gateway.
        if (mount("tarnwick-test", "/var/lib", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            return std::string("cannot mount a tmpfs over /var/lib: ") + strerror(errno);
        return std::string();
    }();
    if (!failure.empty())
        fail(failure);
}

void writeOrFail(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string error;
    if (!emu::writeWholeFile(path, bytes, error))
        fail(error);
}

void installFirmware(const char* name, const FirmwareSpec& description) {
    std::string path = std::string(FIRMWARE_DIRECTORY) + "/" + name;
    unlink(path.c_str());
    if (description.version.empty())
        return;
    std::string text = emu::writeIntelHex(Emu::firmwareImage(description));
    writeOrFail(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool waitForFile(const std::string& path, pid_t child, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 2) {
        if (access(path.c_str(), F_OK) == 0)
            return true;
        if (waitpid(child, nullptr, WNOHANG) == child)
            return false;
        usleep(2000);
    }
    return false;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Follows a growing trace file and tells when a complete line holding the pattern has appeared.
class TraceWatch {
public:
    explicit TraceWatch(const std::string& path) : path(path) {}

    bool seen(const std::string& pattern) {
        std::ifstream file(path);
        file.seekg(std::streamoff(offset));
        char chunk[4096];
        while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
            pending.append(chunk, size_t(file.gcount()));
            offset += size_t(file.gcount());
        }
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            if (pending.substr(0, end).find(pattern) != std::string::npos)
                return true;
        return false;
    }

private:
    std::string path;
    size_t offset = 0;
    std::string pending;
};

RunResult runWithPlan(const std::vector<std::string>& argvIn, int timeoutMs, const SignalPlan* plan,
                      const std::string& tracePath);

} // namespace

// The wrapper is split at blanks.
const std::vector<std::string>& Emu::toolCommand() {
    static const std::vector<std::string> command = [] {
        std::vector<std::string> words;
        if (const char* wrapper = getenv("TARNWICK_TOOL_WRAPPER")) {
            std::istringstream text(wrapper);
            for (std::string word; text >> word;)
                words.push_back(word);
        }
        const char* tool = getenv("TARNWICK_TOOL");
        words.push_back(tool != nullptr && *tool != '\0' ? tool : TARNWICK_TOOL_PATH);
        return words;
    }();
    return command;
}

namespace {

std::vector<std::string> toolArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = Emu::toolCommand();
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

} // namespace

std::vector<uint8_t> Emu::firmwareImage(const FirmwareSpec& description) {
    emu::FirmwareIdentity identity;
    identity.version = description.version;
    identity.libraryType = uint8_t(description.library);
    identity.nvmSize = description.nvmSize;
    identity.recipeSeed = emu::seedFromText(description.version.c_str());
    return emu::makeFirmwareImage(identity, description.codeSize);
}

std::vector<uint8_t> Emu::readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!emu::readWholeFile(path, bytes, error))
        fail(error);
    return bytes;
}

std::string Emu::writeFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    writeOrFail(path(name), bytes);
    return path(name);
}

std::string Emu::writeFirmware(const std::string& name, const FirmwareSpec& description) const {
    std::string text = emu::writeIntelHex(firmwareImage(description));
    return writeFile(name, std::vector<uint8_t>(text.begin(), text.end()));
}

Emu Emu::start(const EmuOptions& options) {
    enterNamespaceOnce();
    installFirmware(BRIDGE_FILE, options.bridge);
    installFirmware(STATIC_671_FILE, options.static671);
    installFirmware(STATIC_661_FILE, options.static661);

    Emu emu;
    char directoryTemplate[] = "/tmp/tarnwick-emu-XXXXXX";
    if (mkdtemp(directoryTemplate) == nullptr)
        fail(std::string("mkdtemp: ") + strerror(errno));
    emu.directory = directoryTemplate;
    emu.ttyPath = emu.path("tty");

    // The state: flash with the running firmware, the NVM, a generated NVR.
    std::string state = emu.path("state");
    mkdir(state.c_str(), 0755);
    std::vector<uint8_t> flash(emu::FLASH_SIZE, 0xFF);
    std::vector<uint8_t> nvm = options.nvm;
    if (!options.firmware.version.empty())
        flash = firmwareImage(options.firmware);
    if (nvm.empty() && options.populateNvm)
        nvm = emu::populatedStaticNvm();
    else if (nvm.empty() && emu::identifyFlash(flash))
        nvm = emu::defaultNvm(*emu::identifyFlash(flash));
    writeOrFail(state + "/flash.bin", flash);
    writeOrFail(state + "/nvm.bin", nvm);
    writeOrFail(state + "/nvr.bin", emu::defaultNvr());

    std::vector<std::string> arguments = {TARNWICK_EMU_PATH, "serve",
                                          "--state",         state,
                                          "--link",          emu.ttyPath,
                                          "--gpio-mount",    "/sys/class/gpio",
                                          "--reset-gpio",    std::to_string(options.gpio),
                                          "--baud",          std::to_string(options.baud),
                                          "--trace",         emu.path("trace.txt"),
                                          "--ready-file",    emu.path("ready"),
                                          "--initial-level", std::to_string(options.initialLevel)};
    const std::pair<const char*, int> timings[] = {{"--boot-delay-ms", options.bootDelayMs},
                                                   {"--erase-ms", options.eraseMs},
                                                   {"--write-ms", options.writeMs},
                                                   {"--crc-ms", options.crcMs},
                                                   {"--set-default-ms", options.setDefaultMs}};
    for (const auto& [option, value] : timings)
        if (value >= 0) {
            arguments.push_back(option);
            arguments.push_back(std::to_string(value));
        }
    for (const std::string& fault : options.faults) {
        arguments.push_back("--fault");
        arguments.push_back(fault);
    }

    int log = open(emu.path("emulator.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t child = fork();
    if (child < 0)
        fail(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        dup2(log, 1);
        dup2(log, 2);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(log);
    emu.pid = child;
    if (!waitForFile(emu.path("ready"), child, 10000)) {
        std::ifstream text(emu.path("emulator.log"));
        std::stringstream reason;
        reason << text.rdbuf();
        fail("tarnwick-emu did not become ready: " + reason.str());
    }
    return emu;
}

Emu::Emu(Emu&& other) noexcept
    : directory(std::move(other.directory)), ttyPath(std::move(other.ttyPath)), pid(other.pid),
      cleanExit(other.cleanExit) {
    other.pid = -1;
    other.directory.clear();
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
    int status = 0;
    for (int waited = 0; waited < 5000; waited += 2) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            cleanExit = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            pid = -1;
            return;
        }
        usleep(2000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
    // A killed FUSE server leaves its mount behind.
    umount2("/sys/class/gpio", MNT_DETACH);
}

std::vector<uint8_t> Emu::flash() {
    stop();
    return readFile(path("state/flash.bin"));
}

std::vector<uint8_t> Emu::nvm() {
    stop();
    return readFile(path("state/nvm.bin"));
}

std::vector<uint8_t> Emu::nvr() {
    stop();
    return readFile(path("state/nvr.bin"));
}

std::vector<std::string> Emu::trace() {
    stop();
    std::vector<std::string> lines;
    std::ifstream file(path("trace.txt"));
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

size_t Emu::count(const std::string& pattern) {
    size_t found = 0;
    for (const std::string& line : trace())
        found += line.find(pattern) != std::string::npos ? 1 : 0;
    return found;
}

bool Emu::waitForTrace(const std::string& pattern, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        std::ifstream file(path("trace.txt"));
        for (std::string line; std::getline(file, line);)
            if (line.find(pattern) != std::string::npos)
                return true;
        usleep(5000);
    }
    return false;
}

RunResult Emu::run(const std::vector<std::string>& arguments, int timeoutMs) const {
    return runProgram(toolArguments(arguments), timeoutMs);
}

RunResult Emu::run(const std::vector<std::string>& arguments, const SignalPlan& plan, int timeoutMs) const {
    return runWithPlan(toolArguments(arguments), timeoutMs, &plan, path("trace.txt"));
}

RunResult Emu::runProgram(const std::vector<std::string>& argv, const SignalPlan& plan, int timeoutMs) const {
    return runWithPlan(argv, timeoutMs, &plan, path("trace.txt"));
}

RunResult Emu::runProgram(const std::vector<std::string>& argvIn, int timeoutMs) {
    return runWithPlan(argvIn, timeoutMs, nullptr, std::string());
}

namespace {

RunResult runWithPlan(const std::vector<std::string>& argvIn, int timeoutMs, const SignalPlan* plan,
                      const std::string& tracePath) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        fail("pipe failed");
    auto started = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0)
        fail(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        std::vector<std::string> copy = argvIn;
        std::vector<char*> argv;
        for (std::string& argument : copy)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        // A wrapper such as qemu-arm is found on the PATH.
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    RunResult result;
    TraceWatch watch(tracePath);
    bool signalPending = plan != nullptr;
    int patternSeenAt = -1;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int openPipes = 2;
    while (openPipes > 0) {
        int elapsedMs = int(secondsSince(started) * 1000);
        int remaining = timeoutMs - elapsedMs;
        if (remaining <= 0) {
            result.timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        if (signalPending && patternSeenAt < 0 &&
            (plan->tracePattern.empty() || watch.seen(plan->tracePattern)))
            patternSeenAt = elapsedMs;
        if (signalPending && patternSeenAt >= 0 && elapsedMs >= patternSeenAt + plan->afterMs) {
            kill(child, plan->signal);
            result.signalledAt = secondsSince(started);
            signalPending = false;
        }
        // While a signal is pending, look again every few milliseconds.
        if (poll(fds, 2, signalPending ? std::min(remaining, 2) : remaining) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                (i == 0 ? result.out : result.err).append(buffer, size_t(count));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    int status = 0;
    waitpid(child, &status, 0);
    result.exitStatus = !result.timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.seconds = secondsSince(started);
    return result;
}

} // namespace

} // namespace emutest
