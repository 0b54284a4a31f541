#pragma once
// Collects what is written to descriptor 2 (error() and the console's message lines) while it
// lives, as lines without the program name and without the console's status-line wipes.
#include "util/Console.hpp"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved = ::dup(2);
        std::FILE* file = std::tmpfile();
        target = ::dup(fileno(file));
        std::fclose(file);
        ::dup2(target, 2);
        console::testing::reset(1, 2);
    }
    ~StderrCapture() {
        restore();
        ::close(target);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Each line with a wipe ("\r   \r") removed and, when `dropProgramName`, the text up to and
    // including the first ": " (error() starts with the invocation name).
    std::vector<std::string> lines(bool dropProgramName) {
        restore();
        std::string all;
        char chunk[512];
        ssize_t n;
        ::lseek(target, 0, SEEK_SET);
        while ((n = ::read(target, chunk, sizeof chunk)) > 0)
            all.append(chunk, size_t(n));
        std::vector<std::string> result;
        size_t start = 0;
        for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = all.substr(start, end - start);
            size_t wipe = line.rfind('\r');
            if (wipe != std::string::npos)
                line.erase(0, wipe + 1);
            size_t name = line.find(": ");
            if (dropProgramName && name != std::string::npos)
                line.erase(0, name + 2);
            result.push_back(line);
        }
        return result;
    }

private:
    void restore() {
        if (saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        saved = -1;
    }

    int saved = -1;
    int target = -1;
};
