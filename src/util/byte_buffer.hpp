#pragma once
// Owned fixed-capacity byte storage with a fill size; the migration keeps its NVM images in these.
#include "util/View.hpp"

template <size_t N> struct byte_buffer {
    uint8_t data[N];
    size_t size = 0;

    static constexpr size_t capacity() { return N; }
    View view() const { return View(data, size); }
    Span unfilled() { return Span(data + size, N - size); }
};
