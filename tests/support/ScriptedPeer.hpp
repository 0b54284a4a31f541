#pragma once
// The chip's side of a pseudo-terminal for Serial API tests: a thread reads what the host writes,
// cuts it into data frames and control bytes, records them, and answers each from a script.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ScriptedPeer {
public:
    using Bytes = std::vector<uint8_t>;
    // Runs on the peer's thread for every host frame or control byte; returns the bytes to answer.
    using Script = std::function<Bytes(const Bytes& received)>;

    // A frame as the chip sends it, with its checksum.
    static Bytes frame(uint8_t type, uint8_t functionId, const Bytes& payload = {}) {
        Bytes bytes = {0x01, uint8_t(payload.size() + 3), type, functionId};
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        uint8_t sum = 0xFF;
        for (size_t i = 1; i < bytes.size(); ++i)
            sum ^= bytes[i];
        bytes.push_back(sum);
        return bytes;
    }
    static Bytes response(uint8_t functionId, const Bytes& payload = {}) {
        return frame(0x01, functionId, payload);
    }
    static Bytes request(uint8_t functionId, const Bytes& payload = {}) {
        return frame(0x00, functionId, payload);
    }
    static Bytes join(Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    explicit ScriptedPeer(Script script = {}) : script(std::move(script)) {
        termios raw{};
        cfmakeraw(&raw);
        char name[128];
        if (openpty(&master, &slave, name, &raw, nullptr) != 0)
            throw std::runtime_error("openpty");
        slavePath = name;
        thread = std::thread([this] { run(); });
    }
    ~ScriptedPeer() {
        stop = true;
        thread.join();
        close(master);
        close(slave);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    const char* path() const { return slavePath.c_str(); }

    // Unprompted bytes from the chip.
    void send(const Bytes& bytes) { writeAll(bytes); }

    // Everything the host sent so far, one entry per frame or control byte.
    std::vector<Bytes> received() const {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    size_t framesWith(uint8_t functionId) const {
        size_t n = 0;
        for (const Bytes& b : received())
            n += b.size() > 3 && b[3] == functionId;
        return n;
    }
    size_t controls(uint8_t byte) const {
        size_t n = 0;
        for (const Bytes& b : received())
            n += b.size() == 1 && b[0] == byte;
        return n;
    }

private:
    void writeAll(const Bytes& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += size_t(n);
        }
    }

    void deliver(const Bytes& item) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(item);
        }
        if (script)
            writeAll(script(item));
    }

    void run() {
        Bytes pending;
        while (!stop) {
            pollfd entry = {master, POLLIN, 0};
            if (poll(&entry, 1, 5) <= 0 || !(entry.revents & POLLIN))
                continue;
            uint8_t chunk[512];
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            pending.insert(pending.end(), chunk, chunk + n);
            while (!pending.empty()) {
                if (pending[0] != 0x01) {
                    deliver(Bytes{pending[0]});
                    pending.erase(pending.begin());
                    continue;
                }
                if (pending.size() < 2 || pending.size() < size_t(pending[1]) + 2)
                    break;
                Bytes item(pending.begin(), pending.begin() + pending[1] + 2);
                pending.erase(pending.begin(), pending.begin() + pending[1] + 2);
                deliver(item);
            }
        }
    }

    Script script;
    int master = -1, slave = -1;
    std::string slavePath;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::vector<Bytes> log;
    std::thread thread;
};
