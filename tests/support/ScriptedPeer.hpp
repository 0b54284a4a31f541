#pragma once
// The module's side of a pseudo-terminal, scripted: a thread cuts what the host writes into Serial
// API frames and control bytes, or into the programming interface's 4-byte commands, records each
// and writes back what the script answers.
#include <algorithm>
#include <cerrno>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ScriptedPeer {
public:
    using Bytes = std::vector<uint8_t>;
    enum class Cut { Frames, Commands };
    // Runs on the peer's thread for each item received; returns the bytes to answer.
    using Script = std::function<Bytes(const Bytes& received)>;

    explicit ScriptedPeer(Cut cut, Script script = {}) : cut(cut), script(std::move(script)) {
        termios raw{};
        cfmakeraw(&raw);
        char name[128];
        if (openpty(&master, &slave, name, &raw, nullptr) != 0)
            throw std::runtime_error("openpty");
        slavePath = name;
        thread = std::thread([this] { run(); });
    }
    ~ScriptedPeer() {
        eventfd_write(stop, 1);
        thread.join();
        close(master);
        close(slave);
        close(stop);
    }

    const char* path() const { return slavePath.c_str(); }
    void setScript(Script newScript) {
        std::lock_guard lock(scriptMutex);
        script = std::move(newScript);
    }
    // Unprompted bytes from the module; a blocking write to a pty's master writes them all.
    void send(const Bytes& bytes) { (void)!write(master, bytes.data(), bytes.size()); }
    std::vector<Bytes> received() const {
        std::lock_guard lock(logMutex);
        return log;
    }
    void forget() {
        std::lock_guard lock(logMutex);
        log.clear();
    }
    // The items received whose bytes from `offset` on start with `prefix`.
    size_t count(const Bytes& prefix, size_t offset = 0) const {
        std::vector<Bytes> items = received();
        return size_t(std::count_if(items.begin(), items.end(), [&](const Bytes& item) {
            return item.size() >= offset + prefix.size() &&
                   std::equal(prefix.begin(), prefix.end(), item.begin() + long(offset));
        }));
    }

private:
    // The length of the first whole item in `pending`, or 0 while it is incomplete.
    size_t itemLength(const Bytes& pending) const {
        if (cut == Cut::Commands)
            return pending.size() >= 4 ? 4 : 0;
        if (pending[0] != 0x01)
            return 1;
        return pending.size() >= 2 && pending.size() >= size_t(pending[1]) + 2 ? size_t(pending[1]) + 2 : 0;
    }

    // Sleeps in poll until the host writes or the peer ends: a peer that woke every few
    // milliseconds, beside busy cores, kept the kernel's workers that carry pty input waiting.
    void run() {
        Bytes pending;
        for (;;) {
            pollfd entries[] = {{master, POLLIN, 0}, {stop, POLLIN, 0}};
            int ready = poll(entries, 2, -1);
            if (ready < 0 && errno == EINTR)
                continue; // a signal a test sent to the whole process
            if (ready < 0 || entries[1].revents != 0)
                return;
            uint8_t chunk[512];
            ssize_t n = entries[0].revents != 0 ? read(master, chunk, sizeof chunk) : 0;
            if (n > 0)
                pending.insert(pending.end(), chunk, chunk + n);
            for (size_t length; !pending.empty() && (length = itemLength(pending)) > 0;) {
                Bytes item(pending.begin(), pending.begin() + long(length));
                pending.erase(pending.begin(), pending.begin() + long(length));
                std::unique_lock logLock(logMutex);
                log.push_back(item);
                logLock.unlock();
                // Without the log's lock: a script may look at the log.
                std::lock_guard scriptLock(scriptMutex);
                if (script)
                    send(script(item));
            }
        }
    }

    const Cut cut;
    Script script; // keeps its state between calls
    int master = -1, slave = -1;
    std::string slavePath;
    int stop = eventfd(0, EFD_CLOEXEC);
    mutable std::mutex logMutex, scriptMutex;
    std::vector<Bytes> log;
    std::thread thread;
};
