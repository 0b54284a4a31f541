// The wire-time lower bound of the exact exchange sequence in an emulator trace (standard input).
//
// Replays the trace as a strict stop-and-wait line: every byte each way takes one character time,
// one after the other; a reply the module delayed (boot after the reset line's release, the
// set-default callback, a late reply) leaves no earlier than that delay after what triggered it
// (output the host did not wait for, because it changed the reset line next, is left out);
// a check-state that found the module idle again arrives no earlier than the end of the busy time
// of the erase, sector write or CRC check before it. Pauses of the host (reset pulses, busy-poll
// intervals, its own computing) are not in the bound: they are what the bound is compared with.
//
// Prints one line of key=value pairs:
//   exchanges  commands and frames the host sent (programming commands, Serial API frames)
//   span       trace time from the first to the last exchange line (s)
//   bound      the lower bound (s)
//   busy       sum of the module's busy times (s)
//   overshoot  sum over busy periods of how long after their end the idle state was seen (s)
//   polls      check-state commands
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Line {
    long long time = 0;
    std::string direction;
    std::string kind;
    std::string name;
    std::vector<unsigned> bytes;
};

bool parse(const std::string& text, Line& line) {
    std::istringstream in(text);
    if (!(in >> line.time >> line.direction >> line.kind >> line.name))
        return false;
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        unsigned long value = std::strtoul(word.c_str(), &end, 16);
        if (word.size() != 2 || *end != '\0')
            break; // event text such as "Z-Wave 4.62"
        line.bytes.push_back(unsigned(value));
    }
    return true;
}

long long millisOption(int argc, char** argv, const char* name, long long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoll(argv[i + 1]);
    return fallback;
}

constexpr unsigned STATE_BUSY = 0x08;

} // namespace

int main(int argc, char** argv) {
    long long baud = millisOption(argc, argv, "--baud", 115200);
    const long long MS = 1000000;
    long long eraseNs = millisOption(argc, argv, "--erase-ms", 20) * MS;
    long long writeNs = millisOption(argc, argv, "--write-ms", 12) * MS;
    long long crcNs = millisOption(argc, argv, "--crc-ms", 1800) * MS;
    double byteNs = baud == 0 ? 0.0 : 1e10 / double(baud);

    std::vector<Line> lines;
    std::string text;
    while (std::getline(std::cin, text)) {
        Line line;
        if (parse(text, line))
            lines.push_back(line);
    }

    double t = 0;                // simulated line time, ns
    double simTrigger = 0;       // simulated time of what the module last reacted to
    long long traceTrigger = -1; // its trace time
    double simBusyUntil = 0;
    long long traceBusyUntil = -1;
    long long exchanges = 0, polls = 0;
    long long first = -1, last = -1;
    double busy = 0, overshoot = 0;

    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        bool exchangeLine = line.kind == "prog" || line.kind == "frame" || line.kind == "ack";
        if (exchangeLine) {
            if (first < 0)
                first = line.time;
            last = line.time;
        }
        if (line.direction == "line") {
            simTrigger = t;
            traceTrigger = line.time;
        } else if (line.direction == "in" && exchangeLine) {
            double arrival = t + double(line.bytes.size()) * byteNs;
            if (line.kind != "ack")
                ++exchanges;
            if (line.kind == "prog" && line.name == "check-state") {
                ++polls;
                // The reply (next programming line out) tells whether the module was idle again.
                for (size_t j = i + 1; j < lines.size(); ++j) {
                    const Line& reply = lines[j];
                    if (reply.direction != "out" || reply.kind != "prog")
                        continue;
                    if (reply.bytes.size() == 4 && (reply.bytes[3] & STATE_BUSY) == 0 &&
                        traceBusyUntil >= 0) {
                        if (arrival < simBusyUntil)
                            arrival = simBusyUntil;
                        if (line.time > traceBusyUntil)
                            overshoot += double(line.time - traceBusyUntil);
                        traceBusyUntil = -1;
                    }
                    break;
                }
            }
            long long duration = 0;
            if (line.kind == "prog" && line.name == "erase-sector")
                duration = eraseNs;
            else if (line.kind == "prog" && line.name == "write-flash-sector")
                duration = writeNs;
            else if (line.kind == "prog" && line.name == "crc-check")
                duration = crcNs;
            if (duration > 0) {
                simBusyUntil = arrival + double(duration);
                traceBusyUntil = line.time + duration;
                busy += double(duration);
            }
            t = arrival;
            simTrigger = arrival;
            traceTrigger = line.time;
        } else if (line.direction == "out" && exchangeLine) {
            // Output the host never waited for (it changed the reset line next) is not serial.
            size_t next = i + 1;
            while (next < lines.size() && lines[next].direction != "in" && lines[next].direction != "line")
                ++next;
            if (next < lines.size() && lines[next].direction == "line")
                continue;
            double start = t;
            if (traceTrigger >= 0 && line.time > traceTrigger) {
                double earliest = simTrigger + double(line.time - traceTrigger);
                if (earliest > start)
                    start = earliest;
            }
            t = start + double(line.bytes.size()) * byteNs;
        }
    }
    printf("exchanges=%lld span=%.6f bound=%.6f busy=%.6f overshoot=%.6f polls=%lld\n", exchanges,
           first < 0 ? 0.0 : double(last - first) * 1e-9, t * 1e-9, busy * 1e-9, overshoot * 1e-9, polls);
    return 0;
}
