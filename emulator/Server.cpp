#include "Server.hpp"

#include "Module.hpp"
#include "Pty.hpp"
#include "PtyCanary.hpp"
#include "ResetLine.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace emu {

// The state is written once the host has sent nothing for this long, so that a reader after the
// tool's exit sees it even before the emulator stops.
constexpr Nanos SAVE_AFTER_QUIET = 20 * MILLISECOND;

static int fail(const std::string& message) {
    fprintf(stderr, "tarnwick-emu: %s\n", message.c_str());
    return 1;
}

static bool writeReadyFile(const std::string& path, const std::string& slave, std::string& error) {
    std::string text = std::to_string(getpid()) + "\n" + slave + "\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    return writeWholeFile(path, bytes, error);
}

int serve(const ServeOptions& options) {
    std::string error;
    ModuleState state;
    if (!state.load(options.stateDirectory, error))
        return fail(error);
    Faults faults;
    for (const std::string& description : options.faults)
        if (!faults.add(description, error))
            return fail(error);
    Trace trace;
    if (!options.tracePath.empty() && !trace.open(options.tracePath, error))
        return fail(error);

    // Signals are taken through a descriptor; blocked before any thread starts so that the FUSE
    // thread never receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0)
        return fail(std::string("signalfd: ") + strerror(errno));
    signal(SIGPIPE, SIG_IGN);

    Pty pty;
    if (!pty.open(error) || (!options.linkPath.empty() && !pty.link(options.linkPath, error)))
        return fail(error);
    std::unique_ptr<ResetLine> resetLine =
        !options.resetFifo.empty() ? openResetFifo(options.resetFifo, error)
                                   : mountResetGpio(options.gpioMount, unsigned(options.resetGpio), error);
    if (!resetLine)
        return fail(error);

    PtyCanary canary;
    if (!canary.open(error))
        return fail(error);

    PacedQueue toHost(options.baud);
    PacedQueue fromHost(options.baud);
    ModuleContext context{state, faults, trace, toHost, options.timing};
    Module module(context, options.initialLevel, monotonicNow());
    trace.flush();

    if (!options.readyFile.empty() && !writeReadyFile(options.readyFile, pty.slavePath(), error))
        return fail(error);

    Nanos lastHostByte = monotonicNow();
    bool outputBlocked = false;
    bool quit = false;
    uint8_t buffer[4096];
    auto writeDue = [&](Nanos now) {
        if (outputBlocked)
            return;
        size_t count = toHost.takeDue(now, buffer, sizeof buffer);
        if (count == 0)
            return;
        ssize_t written = write(pty.master(), buffer, count);
        size_t done = written > 0 ? size_t(written) : 0;
        if (done < count) {
            toHost.unget(buffer + done, count - done, now);
            outputBlocked = true;
        }
    };
    while (!quit) {
        Nanos now = monotonicNow();
        module.onTimer(now);
        while (!fromHost.empty() && fromHost.frontDue() <= now) {
            // The module sees each byte when it would have arrived on the wire.
            Nanos arrival = fromHost.frontDue();
            uint8_t byte = fromHost.front();
            fromHost.pop();
            module.onHostByte(byte, arrival);
            lastHostByte = arrival;
        }
        module.onTimer(now);
        writeDue(now);
        canary.onTimer(now, trace);
        if ((state.flashDirty || state.nvmDirty) && now - lastHostByte >= SAVE_AFTER_QUIET) {
            if (!state.save(options.stateDirectory, error))
                fprintf(stderr, "tarnwick-emu: %s\n", error.c_str());
        }

        Nanos deadline = std::min({module.nextDeadline(), fromHost.nextDue(), canary.nextDeadline()});
        if (!outputBlocked)
            deadline = std::min(deadline, toHost.nextDue());
        if (state.flashDirty || state.nvmDirty)
            deadline = std::min(deadline, lastHostByte + SAVE_AFTER_QUIET);
        now = monotonicNow();
        timespec timeout{};
        timespec* wait = nullptr;
        Nanos remaining = deadline == NEVER ? NEVER : std::max<Nanos>(0, deadline - now);
        if (deadline != NEVER) {
            timeout.tv_sec = remaining / 1000000000;
            timeout.tv_nsec = remaining % 1000000000;
            wait = &timeout;
        }
        // Trace lines reach the file whenever the loop is about to wait.
        if (remaining > 0)
            trace.flush();
        pollfd fds[4] = {{pty.master(), short(POLLIN | (outputBlocked ? POLLOUT : 0)), 0},
                         {resetLine->descriptor(), POLLIN, 0},
                         {signalFd, POLLIN, 0},
                         {canary.descriptor(), POLLIN, 0}};
        if (ppoll(fds, 4, wait, nullptr) < 0 && errno != EINTR)
            return fail(std::string("poll: ") + strerror(errno));
        now = monotonicNow();
        if (fds[2].revents & POLLIN)
            quit = true;
        if (fds[1].revents & POLLIN) {
            for (int level : resetLine->takeLevels())
                module.setResetLevel(level, now);
            writeDue(now);
            trace.flush();
            resetLine->levelsApplied();
        }
        if (fds[3].revents & POLLIN)
            canary.onReadable(now, trace);
        if (fds[0].revents & POLLOUT)
            outputBlocked = false;
        if (fds[0].revents & POLLIN) {
            ssize_t count = read(pty.master(), buffer, sizeof buffer);
            if (count > 0)
                fromHost.push(buffer, size_t(count), now);
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && (fds[0].revents & POLLIN) == 0)
            usleep(1000); // no slave is open: nothing to read until the tool opens the tty
    }
    canary.traceIfStalled(monotonicNow(), trace);
    trace.line(monotonicNow(), "event", "exit", "-");
    trace.flush();
    if (!state.save(options.stateDirectory, error))
        return fail(error);
    return 0;
}

} // namespace emu
