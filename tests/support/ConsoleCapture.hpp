#pragma once
// Tests only: points the console at two anonymous files for the life of the object and gives
// back what was written, with stderr split into message lines.
#include "ToolOutput.hpp"
#include "util/Console.hpp"

#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

class ConsoleCapture {
public:
    // The console writes as it would into a file or pipe; `Terminals` as it would on a terminal.
    explicit ConsoleCapture(console::testing::Streams streams = console::testing::Streams::AsOpened)
        : out_(memfd_create("stdout", 0)), err_(memfd_create("stderr", 0)) {
        console::testing::reset(out_, err_, streams);
    }
    ~ConsoleCapture() {
        console::testing::reset();
        close(out_);
        close(err_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string stdoutText() const { return contents(out_); }
    std::string stderrText() const { return contents(err_); }

    // The message lines without their newlines, and on a terminal without their wipes.
    std::vector<std::string> lines() const {
        std::string text = stderrText();
        for (size_t wipe; (wipe = text.find('\r')) != std::string::npos;) {
            size_t end = text.find('\r', wipe + 1);
            if (end == std::string::npos || text.find_first_not_of(' ', wipe + 1) != end)
                break; // not a wipe: messageLines marks the line
            text.erase(wipe, end + 1 - wipe);
        }
        return emutest::messageLines(text);
    }
    // The same lines as one text, each ended by a newline.
    std::string messages() const {
        std::string text;
        for (const std::string& line : lines())
            text += line + "\n";
        return text;
    }

private:
    static std::string contents(int fd) {
        std::string text;
        char chunk[4096];
        ssize_t n;
        for (off_t offset = 0; (n = pread(fd, chunk, sizeof chunk, offset)) > 0; offset += n)
            text.append(chunk, size_t(n));
        return text;
    }

    int out_;
    int err_;
};
