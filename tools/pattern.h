// The deterministic test stream of `dvr-write --pattern SEED`: byte i of the
// stream depends only on the seed and i, so a follower (or a test) can check
// any range it received without a copy of what was written.
#pragma once

#include <cstdint>

inline uint8_t PatternByte(uint64_t ullSeed, uint64_t ullIndex)
{
    // splitmix64 of the 8-byte word that holds the byte.
    uint64_t z = ullSeed + (ullIndex >> 3) * 0x9E3779B97F4A7C15ull + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<uint8_t>(z >> (8 * (ullIndex & 7)));
}
