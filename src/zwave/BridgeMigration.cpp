#include "zwave/BridgeMigration.hpp"

#include <cstring>

namespace {

constexpr size_t SMALLEST_SOURCE = 12196;
constexpr size_t INSERTION_POINT = 9867;
constexpr size_t INSERTED = 29;
constexpr size_t LARGEST_LENGTH = 0xFFFF - INSERTED;

size_t readBigEndian16(View bytes, size_t offset) {
    return size_t(bytes[offset]) << 8 | bytes[offset + 1];
}

void writeBigEndian16(Span bytes, size_t offset, size_t value) {
    bytes[offset] = uint8_t(value >> 8);
    bytes[offset + 1] = uint8_t(value);
}

} // namespace

View convertToBridge(View source, Span target) {
    if (source.size() < SMALLEST_SOURCE)
        return View();
    // L is the offset of the image's last byte (the low byte of the module table's end
    // marker); P' - 3 is where the library module's descriptor keeps its size.
    const size_t last = readBigEndian16(source, 0);
    const size_t newLast = last + INSERTED;
    if (last > source.size() || last > LARGEST_LENGTH || newLast > target.size())
        return View();
    const size_t newSecond = readBigEndian16(source, 2) + INSERTED;
    // Refused rather than written outside the result: L before the insertion point, P' - 2
    // past the result, or a P' that does not fit its 16 bits.
    if (last < INSERTION_POINT || newSecond < 3 || newSecond - 2 >= newLast || newSecond > 0xFFFF)
        return View();

    // The byte at L is carried when there is one and the target has room for it.
    const size_t carried = last < source.size() && newLast + 1 <= target.size() ? 1 : 0;
    const size_t resultSize = newLast + carried;

    std::memcpy(target.data(), source.data(), INSERTION_POINT);
    std::memset(target.data() + INSERTION_POINT, 0, INSERTED);
    std::memcpy(target.data() + INSERTION_POINT + INSERTED, source.data() + INSERTION_POINT,
                last - INSERTION_POINT + carried);
    writeBigEndian16(target, 0, newLast);
    writeBigEndian16(target, 2, newSecond);
    writeBigEndian16(target, newSecond - 3, newSecond);
    return View(target.data(), resultSize);
}
