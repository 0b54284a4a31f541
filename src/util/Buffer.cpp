#include "util/Buffer.hpp"

#include <cstdio>
#include <cstring>

bool Buffer::append(char c) {
    if (size >= LIMIT)
        return false;
    data[size++] = c;
    return true;
}

bool Buffer::append(const char* text) {
    if (text == nullptr)
        return true;
    return append(TemporaryStringView(text, std::strlen(text)));
}

bool Buffer::append(TemporaryStringView text) {
    if (text.size() > LIMIT - size)
        return false;
    std::memmove(data + size, text.data(), text.size());
    size += unsigned(text.size());
    return true;
}

template <typename... Args> bool Buffer::appendFormatted(const char* format, Args... args) {
    unsigned room = LIMIT - size;
    int n = std::snprintf(data + size, room, format, args...);
    // The formatter needs one byte of the room for its NUL, so a rendering that fills it exactly
    // was cut and does not count.
    if (n < 0 || unsigned(n) >= room)
        return false;
    size += unsigned(n);
    return true;
}

bool Buffer::append(int v) {
    return appendFormatted("%d", v);
}
bool Buffer::append(unsigned v) {
    return appendFormatted("%u", v);
}
bool Buffer::append(long v) {
    return appendFormatted("%ld", v);
}
bool Buffer::append(unsigned long v) {
    return appendFormatted("%lu", v);
}
bool Buffer::append(long long v) {
    return appendFormatted("%lld", v);
}
bool Buffer::append(unsigned long long v) {
    return appendFormatted("%llu", v);
}
bool Buffer::append(float v) {
    return appendFormatted("%.9g", double(v));
}
bool Buffer::append(double v) {
    return appendFormatted("%.17g", v);
}

bool Buffer::appendHex(TemporaryView bytes) {
    static const char DIGITS[] = "0123456789abcdef";
    if (size > LIMIT - 1)
        return false;
    append('<');
    if (bytes.empty()) {
        if (size == LIMIT)
            return false;
        return append('>');
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        char pair[4] = {' ', DIGITS[bytes[i] >> 4], DIGITS[bytes[i] & 0xF], '\0'};
        if (!append(i == 0 ? pair + 1 : pair))
            return false;
    }
    if (size > LIMIT - 1)
        return false;
    return append('>');
}

bool Buffer::appendQuoted(TemporaryStringView text, char quote, char escape) {
    bool complete = true;
    auto put = [&](char c) {
        if (size <= LIMIT - 1)
            data[size++] = c;
        else
            complete = false;
    };
    put(quote);
    for (char c : text) {
        if (c == quote || c == escape)
            put(escape);
        put(c);
    }
    if (!complete || size > LIMIT - 1)
        return false;
    return append(quote);
}
