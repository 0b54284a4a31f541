#pragma once
// A scripted module behind the master side of a pseudo-terminal that answers the UART programming
// interface: echoes, state bytes, CRC verdicts, the NVR page, and per-command faults. It records
// every command it receives. (The emulator models the flash; this peer only has to be scriptable.)
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

class ProgrammingPeer {
public:
    using Command = std::array<uint8_t, 4>;
    using Bytes = std::vector<uint8_t>;
    // Answers a command instead of the model: nullopt lets the model answer, an empty list is silence.
    using Fault = std::function<std::optional<Bytes>(const Command& command, size_t index)>;

    ProgrammingPeer() : nvr(256) {
        char name[64];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path = name;
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        for (size_t i = 0; i < nvr.size(); ++i)
            nvr[i] = uint8_t(i * 7 + 3);
        worker = std::thread([this] { serve(); });
    }
    ~ProgrammingPeer() {
        stopping = true;
        worker.join();
        close(master);
        close(slave);
    }
    ProgrammingPeer(const ProgrammingPeer&) = delete;
    ProgrammingPeer& operator=(const ProgrammingPeer&) = delete;

    const char* slavePath() const { return path.c_str(); }

    void setFault(Fault f) {
        std::lock_guard lock(mutex);
        fault = std::move(f);
    }
    // State bytes answered by the next check-state commands, before the model's own state.
    void queueStates(std::initializer_list<uint8_t> states) {
        std::lock_guard lock(mutex);
        scriptedStates.insert(scriptedStates.end(), states);
    }
    // The verdict of each further CRC check in turn; 0x02 (passed) once the list is used up.
    void queueCrcVerdicts(std::initializer_list<uint8_t> verdicts) {
        std::lock_guard lock(mutex);
        crcVerdicts.insert(crcVerdicts.end(), verdicts);
    }

    std::vector<Command> commands() {
        std::lock_guard lock(mutex);
        return received;
    }
    void clearCommands() {
        std::lock_guard lock(mutex);
        received.clear();
    }
    size_t count(uint8_t opcode) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const Command& c : received)
            n += c[0] == opcode;
        return n;
    }
    size_t count(uint8_t opcode, uint8_t second) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const Command& c : received)
            n += c[0] == opcode && c[1] == second;
        return n;
    }
    const Bytes& nvrContents() const { return nvr; }

private:
    void serve() {
        Command command;
        size_t filled = 0;
        while (!stopping) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t n = read(master, command.data() + filled, command.size() - filled);
            if (n <= 0)
                continue;
            filled += size_t(n);
            if (filled < command.size())
                continue;
            filled = 0;
            Bytes reply = answer(command);
            for (size_t done = 0; done < reply.size();) {
                ssize_t w = write(master, reply.data() + done, reply.size() - done);
                if (w <= 0)
                    break;
                done += size_t(w);
            }
        }
    }

    Bytes answer(const Command& command) {
        std::unique_lock lock(mutex);
        size_t index = received.size();
        received.push_back(command);
        Fault hook = fault;
        lock.unlock();
        // The hook runs unlocked so that it may look at the peer (or raise a signal) itself.
        if (hook)
            if (std::optional<Bytes> scripted = hook(command, index))
                return *scripted;
        lock.lock();
        return model(command);
    }

    Bytes model(const Command& c) {
        Bytes echo(c.begin(), c.end());
        switch (c[0]) {
        case 0x7f: {
            uint8_t state = crcState;
            if (!scriptedStates.empty()) {
                state = scriptedStates.front();
                scriptedStates.pop_front();
            }
            return {0x7f, 0xfe, 0x00, state};
        }
        case 0x0b:
            crcState = 0;
            return echo;
        case 0xc3:
            crcState = 0x02;
            if (!crcVerdicts.empty()) {
                crcState = crcVerdicts.front();
                crcVerdicts.pop_front();
            }
            return echo;
        case 0xf2:
            return {0xf2, 0x00, c[2], nvr[c[2]]};
        default:
            return echo;
        }
    }

    int master = -1;
    int slave = -1;
    std::string path;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::vector<Command> received;
    Fault fault;
    std::deque<uint8_t> scriptedStates;
    std::deque<uint8_t> crcVerdicts;
    uint8_t crcState = 0;
    Bytes nvr;
    std::thread worker;
};
