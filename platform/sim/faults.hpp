#pragma once

// The fault switches shared by the simulated client, its clipboard and its
// controls. Internal to the sim library.
//
// Thread-safety: every member may be called from any thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {

class FaultBoard {
 public:
  explicit FaultBoard(std::uint64_t seed) : rng_(seed) {}

  void reseed(std::uint64_t seed) {
    std::lock_guard guard(mu_);
    rng_.seed(seed);
  }

  void fail_on_call(const std::string& operation, int n, FaultEffect effect) {
    std::lock_guard guard(mu_);
    Switch& s = switches_[operation];
    s.calls_left = n;
    s.nth_effect = effect;
  }

  void fail_with_probability(const std::string& operation, double p, FaultEffect effect) {
    std::lock_guard guard(mu_);
    Switch& s = switches_[operation];
    s.probability = p;
    s.probability_effect = effect;
  }

  void clear() {
    std::lock_guard guard(mu_);
    switches_.clear();
  }

  // Counts one call of `operation`; the effect when this call is to fail.
  std::optional<FaultEffect> check(const std::string& operation) {
    std::lock_guard guard(mu_);
    auto it = switches_.find(operation);
    if (it == switches_.end()) return std::nullopt;
    Switch& s = it->second;
    std::optional<FaultEffect> result;
    if (s.calls_left > 0 && --s.calls_left == 0) result = s.nth_effect;
    if (!result && s.probability > 0.0) {
      // 53 random bits make a uniform double in [0, 1) that does not depend
      // on the standard library's distribution classes.
      double draw = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
      if (draw < s.probability) result = s.probability_effect;
    }
    return result;
  }

 private:
  struct Switch {
    int calls_left = 0;
    FaultEffect nth_effect = FaultEffect::Error;
    double probability = 0.0;
    FaultEffect probability_effect = FaultEffect::Error;
  };

  std::mutex mu_;
  std::mt19937_64 rng_;                     // guarded by mu_
  std::map<std::string, Switch> switches_;  // guarded by mu_
};

}  // namespace orvanta::sim
