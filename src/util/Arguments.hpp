#pragma once
// A cursor over the program's argument vector, walked up to its terminating null entry.
#include "util/View.hpp"

#include <cstring>

class Arguments {
public:
    explicit Arguments(const char* const* argv) : cursor(argv) {}

    // The next entry, or a null pointer at the end of the vector.
    const char* peek() const { return *cursor; }

    // The next entry as a view that ends before its NUL; the caller has checked peek().
    StringView next() {
        const char* entry = *cursor++;
        return StringView(entry, std::strlen(entry));
    }

    const char* const* cursor;
};
