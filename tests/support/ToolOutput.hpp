#pragma once
// Tests only: what the tool printed (and the emulator traced), in the shape the tests compare. The
// tests capture the tool's streams through pipes and files, so the tool prints its status as plain
// lines on stdout, whose last word is the run's outcome, and its messages on stderr without the
// status-line wipes.
#include <algorithm>
#include <string>
#include <vector>

namespace emutest {

// The lines of a captured stream without their newlines. A line that holds a carriage return (a
// redraw or a wipe, which a pipe must never get) comes back marked "<CR>" so that comparisons fail.
inline std::vector<std::string> messageLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back((text.find('\r', start) < end ? "<CR>" : "") + text.substr(start, end - start));
    }
    return lines;
}

// The last word of the last status line ("Done", "Failed", "Cancelled", ...).
inline std::string lastStatusWord(const std::string& out) {
    std::vector<std::string> lines = messageLines(out);
    return lines.empty() ? std::string() : lines.back().substr(lines.back().find_last_of(' ') + 1);
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The one scanner of printed and traced lines: the index of the first line at or after `from` that
// contains `part`, or the number of lines when none does.
inline size_t indexOf(const std::vector<std::string>& lines, const std::string& part, size_t from = 0) {
    while (from < lines.size() && lines[from].find(part) == std::string::npos)
        ++from;
    return std::min(from, lines.size());
}

// The number of lines that contain `part`.
inline size_t countLines(const std::vector<std::string>& lines, const std::string& part) {
    size_t found = 0;
    for (size_t at = indexOf(lines, part); at < lines.size(); at = indexOf(lines, part, at + 1))
        ++found;
    return found;
}

} // namespace emutest
