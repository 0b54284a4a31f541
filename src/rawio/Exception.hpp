#pragma once
// The one exception of every failed system call: the errno captured right after the call and a
// static text naming the operation.
#include <exception>

namespace RawIO {

class Exception : public std::exception {
public:
    Exception(int error, const char* message) : error(error), message(message) {}
    const char* what() const noexcept override { return message; }
    // The system's text for `error`, or "" when there is no system error behind the failure.
    const char* errorText() const noexcept;

    int error;
    const char* message;
};

} // namespace RawIO
