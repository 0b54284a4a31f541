#pragma once
// A line under construction: 768 characters inline, appends that fit whole or not at all, and
// the last character kept free so that a log line can always be closed with its newline.
#include "util/View.hpp"

#include <type_traits>

class Buffer {
public:
    static constexpr unsigned CAPACITY = 768;
    static constexpr unsigned LIMIT = CAPACITY - 1;

    char data[CAPACITY];
    unsigned size = 0;

    bool append(char c);
    bool append(const char* text);
    bool append(char* text) { return append(static_cast<const char*>(text)); }
    bool append(TemporaryStringView text);
    bool append(int v);
    bool append(unsigned v);
    bool append(long v);
    bool append(unsigned long v);
    bool append(long long v);
    bool append(unsigned long long v);
    bool append(float v);
    bool append(double v);
    bool appendHex(TemporaryView bytes);
    bool appendQuoted(TemporaryStringView text, char quote, char escape);

    // Each value in turn, stopping at the first that does not fit; byte views render as hex.
    template <typename... Values> bool appendAll(const Values&... values) {
        return (appendOne(values) && ...);
    }

    TemporaryStringView view() const { return TemporaryStringView(data, size); }

private:
    template <typename T> bool appendOne(const T& value) {
        if constexpr (std::is_convertible_v<const T&, View> && !std::is_convertible_v<const T&, StringView>)
            return appendHex(TemporaryView(View(value)));
        else
            return append(value);
    }
    template <typename... Args> bool appendFormatted(const char* format, Args... args);
};

inline TemporaryStringView::TemporaryStringView(const Buffer& buffer)
    : StringView(buffer.data, buffer.size) {}
