#include "PacedQueue.hpp"

#include <algorithm>

namespace emu {

Nanos PacedQueue::push(const uint8_t* bytes, size_t size, Nanos earliest) {
    for (size_t i = 0; i < size; ++i) {
        lastDue = std::max(earliest, lastDue) + byteTime;
        queue.push_back({bytes[i], lastDue});
    }
    return std::max(earliest, lastDue);
}

size_t PacedQueue::takeDue(Nanos now, uint8_t* into, size_t capacity) {
    size_t count = 0;
    while (count < capacity && !queue.empty() && queue.front().due <= now) {
        into[count++] = queue.front().byte;
        queue.pop_front();
    }
    return count;
}

void PacedQueue::unget(const uint8_t* bytes, size_t size, Nanos due) {
    for (size_t i = size; i > 0; --i)
        queue.push_front({bytes[i - 1], due});
}

} // namespace emu
