#include "file-support/TextLines.hpp"

#include "rawio/Cancel.hpp"

#include <cerrno>
#include <unistd.h>

TextLines::Result TextLines::next(StringView& line) {
    size_t length = 0;
    for (;;) {
        if (position == filled) {
            ssize_t n = ::read(fd, input, sizeof input);
            if (n < 0) {
                // Only a cancellation ends the reading of a FIFO that a signal interrupted.
                if (errno == EINTR && !RawIO::cancelRequested())
                    continue;
                return Result::ReadError;
            }
            if (n == 0) {
                if (length == 0)
                    return Result::End;
                ++number;
                line = StringView(text, length);
                return Result::Line;
            }
            filled = size_t(n);
            position = 0;
        }
        char c = input[position++];
        if (c == '\n' && afterCarriageReturn) {
            afterCarriageReturn = false; // the second half of a CRLF
            continue;
        }
        afterCarriageReturn = c == '\r';
        if (c == '\r' || c == '\n') {
            ++number;
            line = StringView(text, length);
            return Result::Line;
        }
        if (length == MAX_LINE) {
            ++number;
            return Result::TooLong;
        }
        text[length++] = c;
    }
}
