#pragma once
// Tests only: points the console at two anonymous files for the life of the object and gives
// back what was written, with stderr split into message lines.
#include "util/Console.hpp"

#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

class ConsoleCapture {
public:
    ConsoleCapture() : out_(memfd_create("stdout", 0)), err_(memfd_create("stderr", 0)) {
        console::testing::reset(out_, err_);
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

    // The message lines without their newlines. Every message must begin with the wipe of the
    // status line ("\r", spaces, "\r"); a line without one is returned with a "<no wipe>" mark
    // so that comparisons fail.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::string text = stderrText();
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            size_t close = line.size() > 1 && line[0] == '\r' ? line.find_first_not_of(' ', 1) : 0;
            if (close != 0 && close != std::string::npos && line[close] == '\r')
                result.push_back(line.substr(close + 1));
            else
                result.push_back("<no wipe>" + line);
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        return result;
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
