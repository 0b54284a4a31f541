#pragma once
// Tests only: what the tool printed, in the shape the tests compare. Every message line on stderr
// begins with the wipe of the status line ("\r", spaces, "\r"); the status line on stdout is
// redrawn after "\r" and its last word is the run's outcome.
#include <algorithm>
#include <string>
#include <vector>

namespace emutest {

// The message lines without their wipes and newlines. A line without a wipe comes back marked
// "<no wipe>" so that comparisons fail; the single newline that ends a pending status line at
// exit is not a message and is dropped.
inline std::vector<std::string> messageLines(const std::string& err) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        std::string line = err.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? err.size() : end + 1;
        if (line.empty() && start == err.size() && end != std::string::npos)
            break;
        size_t close = line.size() > 1 && line[0] == '\r' ? line.find_first_not_of(' ', 1) : 0;
        if (close != 0 && close != std::string::npos && line[close] == '\r')
            lines.push_back(line.substr(close + 1));
        else
            lines.push_back("<no wipe>" + line);
    }
    return lines;
}

// The last word of the last drawing of the status line ("Done", "Failed", "Cancelled", ...).
inline std::string lastStatusWord(const std::string& out) {
    size_t draw = out.rfind('\r');
    std::string line = draw == std::string::npos ? out : out.substr(draw + 1);
    size_t last = line.find_last_not_of(' ');
    if (last == std::string::npos)
        return std::string();
    size_t first = line.find_last_of(' ', last);
    return line.substr(first == std::string::npos ? 0 : first + 1,
                       last - (first == std::string::npos ? 0 : first + 1) + 1);
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The number of lines that contain `part`.
inline size_t countLines(const std::vector<std::string>& lines, const std::string& part) {
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    }));
}

} // namespace emutest
