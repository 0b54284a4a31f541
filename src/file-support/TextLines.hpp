#pragma once
// The lines of a text file read through fixed buffers: CR, LF and CRLF each end a line, and a line
// longer than the limit ends the reading at once, so no input can make the reader grow.
#include "util/View.hpp"

#include <cstddef>

class TextLines {
public:
    // The longest Intel HEX record is 521 characters; the rest leaves room for trailing blanks.
    static constexpr size_t MAX_LINE = 600;

    enum class Result { Line, End, TooLong, ReadError };

    // Reads from `fd`, which stays owned by the caller.
    explicit TextLines(int fd) : fd(fd) {}
    TextLines(const TextLines&) = delete;
    TextLines& operator=(const TextLines&) = delete;

    // The next line without its line end (valid until the next call). A last line without a line
    // end is a line too. ReadError leaves the errno of the failed read in errno.
    Result next(StringView& line);

    // Number of the line that the last call returned or refused, counting from 1.
    unsigned lineNumber() const { return number; }

private:
    int fd;
    char input[4096];
    size_t filled = 0;
    size_t position = 0;
    char text[MAX_LINE];
    bool afterCarriageReturn = false;
    unsigned number = 0;
};
