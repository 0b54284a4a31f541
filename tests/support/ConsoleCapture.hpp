#pragma once
// Tests only: points the console at two anonymous files for the life of the object and gives back
// what was written. They are not terminals, so the console prints plain lines unless told otherwise.
#include "ToolOutput.hpp"
#include "util/Console.hpp"

#include <algorithm>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

class ConsoleCapture {
public:
    explicit ConsoleCapture(console::testing::Streams streams = console::testing::Streams::AsOpened)
        : out(memfd_create("stdout", 0)), err(memfd_create("stderr", 0)) {
        console::testing::reset(out, err, streams);
    }
    ~ConsoleCapture() {
        console::testing::reset();
        close(out);
        close(err);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string stdoutText() const { return contents(out); }
    std::string stderrText() const { return contents(err); }
    // The message lines without their newlines.
    std::vector<std::string> lines() const { return emutest::messageLines(stderrText()); }

private:
    static std::string contents(int fd) {
        std::string text(size_t(lseek(fd, 0, SEEK_END)), '\0');
        text.resize(size_t(std::max<ssize_t>(pread(fd, text.data(), text.size(), 0), 0)));
        return text;
    }

    int out, err;
};
