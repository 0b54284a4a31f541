#pragma once
// Tests only: what the real tool printed, in the shapes the end-to-end tests compare. Every
// message line on stderr begins with the wipe of the status line ("\r", spaces, "\r"); the status
// line on stdout is redrawn after "\r" and its last word is the run's outcome.
#include <algorithm>
#include <string>
#include <vector>

namespace tooloutput {

// The stderr message lines with their wipes removed (a message may span several lines).
inline std::vector<std::string> messageLines(const std::string& err) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        std::string line = err.substr(start, end == std::string::npos ? std::string::npos : end - start);
        for (size_t wipe; (wipe = line.find('\r')) != std::string::npos;) {
            size_t close = line.find_first_not_of(' ', wipe + 1);
            if (close == std::string::npos || line[close] != '\r') {
                line.erase(wipe, 1);
                continue;
            }
            line.erase(wipe, close + 1 - wipe);
        }
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// The last state the status line was drawn in, e.g. "Done", "Failed" or "Cancelled".
inline std::string lastStatus(const std::string& out) {
    size_t redraw = out.rfind('\r');
    std::string line = redraw == std::string::npos ? out : out.substr(redraw + 1);
    size_t address = line.find("addr=0x");
    size_t word = address == std::string::npos ? std::string::npos : line.find(' ', address);
    line = word == std::string::npos ? line : line.substr(word + 1);
    // A shorter text is drawn over a longer one with trailing blanks.
    return line.substr(0, line.find_last_not_of(' ') + 1);
}

inline size_t countLines(const std::vector<std::string>& lines, const std::string& part) {
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    }));
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace tooloutput
