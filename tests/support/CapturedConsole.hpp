#pragma once
// Points the console at two temporary files for the life of a test and reads back what it wrote.
#include "util/Console.hpp"

#include <cstdio>
#include <string>
#include <unistd.h>

class CapturedConsole {
public:
    CapturedConsole() : out(std::tmpfile()), err(std::tmpfile()) {
        console::testing::reset(fileno(out), fileno(err));
    }
    ~CapturedConsole() {
        console::testing::reset();
        std::fclose(out);
        std::fclose(err);
    }
    CapturedConsole(const CapturedConsole&) = delete;
    CapturedConsole& operator=(const CapturedConsole&) = delete;

    std::string stdoutText() const { return contents(out); }
    std::string stderrText() const { return contents(err); }
    // The status line as last drawn, without the spaces that overwrote a longer one.
    std::string lastStatus() const {
        std::string text = contents(out);
        size_t start = text.rfind('\r');
        text = start == std::string::npos ? text : text.substr(start + 1);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    // The message lines on stderr without the wipes of the status line that precede each of them.
    std::string messages() const {
        std::string text = contents(err);
        std::string kept;
        for (size_t at = 0; at < text.size();) {
            if (text[at] == '\r') {
                size_t close = text.find_first_not_of(' ', at + 1);
                if (close != std::string::npos && text[close] == '\r') {
                    at = close + 1;
                    continue;
                }
            }
            kept += text[at++];
        }
        return kept;
    }

private:
    static std::string contents(FILE* file) {
        std::string text;
        char chunk[4096];
        for (off_t at = 0;;) {
            ssize_t n = pread(fileno(file), chunk, sizeof chunk, at);
            if (n <= 0)
                return text;
            text.append(chunk, size_t(n));
            at += n;
        }
    }
    FILE* out;
    FILE* err;
};
