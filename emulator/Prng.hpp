#pragma once
// Deterministic pseudo-random bytes (xorshift32) for generated firmware, NVM and NVR content, so
// that the same options always give the same files.
#include <cstdint>

namespace emu {

class Prng {
public:
    explicit Prng(uint32_t seed) : state(seed == 0 ? 0x9E3779B9u : seed) {}

    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    uint8_t nextByte() { return uint8_t(next() >> 24); }

private:
    uint32_t state;
};

// FNV-1a, to derive seeds from texts such as a version string.
inline uint32_t seedFromText(const char* text) {
    uint32_t hash = 2166136261u;
    for (; *text != '\0'; ++text)
        hash = (hash ^ uint8_t(*text)) * 16777619u;
    return hash;
}

} // namespace emu
