#pragma once

// A small deterministic generator for property tests, so that a failing seed
// repeats exactly.

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace orvanta::testing {

class Dice {
 public:
  explicit Dice(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  // 0 .. sides-1.
  int roll(int sides) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state_ >> 33) % static_cast<std::uint64_t>(sides));
  }
  // True with probability 1 / one_in.
  bool chance(int one_in) { return roll(one_in) == 0; }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[static_cast<std::size_t>(roll(static_cast<int>(from.size())))];
  }

 private:
  std::uint64_t state_;
};

// The number of seeds a property test runs: a few in the default run, many
// when ORVANTA_LONG_PROPERTY_RUNS is set.
inline std::uint64_t property_seeds(std::uint64_t quick, std::uint64_t long_run) {
  const char* long_runs = std::getenv("ORVANTA_LONG_PROPERTY_RUNS");
  return long_runs != nullptr && *long_runs != '\0' && *long_runs != '0' ? long_run : quick;
}

}  // namespace orvanta::testing
