#pragma once
// Console output redirected into two pipes while the object lives; read back as strings.
#include "util/Console.hpp"

#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

class ConsoleCapture {
public:
    ConsoleCapture() {
        if (pipe2(out, O_NONBLOCK) != 0 || pipe2(err, O_NONBLOCK) != 0)
            throw std::runtime_error("pipe2");
        fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
        fcntl(err[0], F_SETPIPE_SZ, 1 << 20);
        console::testing::reset(out[1], err[1]);
    }
    ~ConsoleCapture() {
        console::testing::reset();
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // What was printed since the last call: the status line and the message lines.
    std::string statusText() { return take(out[0]); }
    std::string messageText() { return take(err[0]); }
    // The message lines without the wipes of the status line that precede each.
    std::string lines() {
        std::string text = messageText(), clean;
        for (size_t i = 0; i < text.size();) {
            if (text[i] == '\r') {
                size_t close = text.find('\r', i + 1);
                i = close == std::string::npos ? text.size() : close + 1;
                continue;
            }
            clean += text[i++];
        }
        return clean;
    }

private:
    static std::string take(int fd) {
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            text.append(buf, size_t(n));
        return text;
    }
    int out[2], err[2];
};
