#pragma once
// Non-owning byte and character ranges: a pointer and a size, passed by value. The `Temporary`
// forms are parameter types that bind to any range for the duration of a call.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

class View {
public:
    constexpr View() = default;
    constexpr View(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    constexpr const uint8_t* data() const { return data_; }
    constexpr size_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }
    constexpr const uint8_t& operator[](size_t i) const { return data_[i]; }
    constexpr const uint8_t* begin() const { return data_; }
    constexpr const uint8_t* end() const { return data_ + size_; }
    // The bytes from `offset` on, at most `count` of them; the caller keeps `offset` <= size.
    constexpr View sub(size_t offset, size_t count = SIZE_MAX) const {
        size_t rest = size_ - offset;
        return View(data_ + offset, count < rest ? count : rest);
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

class Span {
public:
    constexpr Span() = default;
    constexpr Span(uint8_t* data, size_t size) : data_(data), size_(size) {}
    template <size_t N> constexpr Span(uint8_t (&array)[N]) : data_(array), size_(N) {}

    constexpr uint8_t* data() const { return data_; }
    constexpr size_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }
    constexpr uint8_t& operator[](size_t i) const { return data_[i]; }
    constexpr uint8_t* begin() const { return data_; }
    constexpr uint8_t* end() const { return data_ + size_; }
    // The part after what is already filled; the caller keeps `offset` <= size.
    constexpr Span from(size_t offset) const { return Span(data_ + offset, size_ - offset); }
    constexpr Span first(size_t count) const { return Span(data_, count < size_ ? count : size_); }
    constexpr operator View() const { return View(data_, size_); }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

class TemporaryView : public View {
public:
    constexpr TemporaryView() = default;
    constexpr TemporaryView(View view) : View(view) {}
    constexpr TemporaryView(Span span) : View(span) {}
    constexpr TemporaryView(const uint8_t* data, size_t size) : View(data, size) {}
    template <size_t N> constexpr TemporaryView(const uint8_t (&array)[N]) : View(array, N) {}
};

// The characters of an array up to its first NUL: a literal's length, and for a filled char array
// (a `char[16]` holding "abc") the text it holds rather than its capacity.
constexpr size_t lengthInArray(const char* array, size_t capacity) {
    size_t length = 0;
    while (length < capacity && array[length] != '\0')
        ++length;
    return length;
}

class StringView {
public:
    constexpr StringView() = default;
    constexpr StringView(const char* data, size_t size) : data_(data), size_(size) {}
    template <size_t N>
    constexpr StringView(const char (&array)[N]) : data_(array), size_(lengthInArray(array, N)) {}

    constexpr const char* data() const { return data_; }
    constexpr size_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }
    constexpr const char& operator[](size_t i) const { return data_[i]; }
    constexpr const char* begin() const { return data_; }
    constexpr const char* end() const { return data_ + size_; }

    friend bool operator==(StringView a, StringView b) {
        return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
    }

private:
    const char* data_ = "";
    size_t size_ = 0;
};

// A StringView whose data()[size()] is a NUL, so data() may be handed to the system as a path.
class CStringView : public StringView {
public:
    constexpr CStringView() = default;
    template <size_t N> constexpr CStringView(const char (&literal)[N]) : StringView(literal) {}
    explicit CStringView(const char* text) : StringView(text ? text : "", text ? std::strlen(text) : 0) {}
    const char* c_str() const { return data(); }

protected:
    constexpr CStringView(const char* data, size_t size) : StringView(data, size) {}
};

// Built from a string literal with its length known at compile time; tables of fixed names.
class CStringLiteralView : public CStringView {
public:
    template <size_t N>
    constexpr CStringLiteralView(const char (&literal)[N])
        : CStringView(literal, lengthInArray(literal, N)) {}
};

class Buffer;

class TemporaryStringView : public StringView {
public:
    constexpr TemporaryStringView() = default;
    constexpr TemporaryStringView(StringView view) : StringView(view) {}
    constexpr TemporaryStringView(const char* data, size_t size) : StringView(data, size) {}
    template <size_t N> constexpr TemporaryStringView(const char (&literal)[N]) : StringView(literal) {}
    TemporaryStringView(const char* text) : StringView(text ? text : "", text ? std::strlen(text) : 0) {}
    TemporaryStringView(char* text) : TemporaryStringView(static_cast<const char*>(text)) {}
    TemporaryStringView(const std::string& text) : StringView(text.data(), text.size()) {}
    TemporaryStringView(const Buffer& buffer);
};

class TemporaryCStringView : public CStringView {
public:
    template <size_t N> constexpr TemporaryCStringView(const char (&literal)[N]) : CStringView(literal) {}
    TemporaryCStringView(CStringView view) : CStringView(view) {}
    TemporaryCStringView(const char* text) : CStringView(text) {}
    TemporaryCStringView(char* text) : CStringView(static_cast<const char*>(text)) {}
    TemporaryCStringView(const std::string& text) : CStringView(text.c_str(), text.size()) {}
};
