// The simulator's random numbers: SplitMix64, the same on every platform and
// standard library, so that a seed repeats a run exactly.
#pragma once

#include <cstdint>

namespace kivo::sim {

// The next 64 random bits; advances `state`.
inline uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace kivo::sim
