#pragma once
// A fault of the NVM exchange with the firmware; the message is a static text naming it.
#include <exception>

class nvm_io_exception : public std::exception {
public:
    explicit nvm_io_exception(const char* message) : message(message) {}
    ~nvm_io_exception() override = default;
    const char* what() const noexcept override { return message; }

private:
    const char* message;
};
