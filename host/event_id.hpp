#pragma once

// Event identifiers: 26 characters of Crockford base32 (a ULID), the first
// ten the time in milliseconds since 1970, the rest 80 bits that start at a
// random value in each new millisecond and count up within it. Identifiers
// from one generator rise strictly, in text order too, even when the clock
// stands still or goes back (the time part then stays at the latest one
// given), so that a generator started again from the last identifier it gave
// (kept in the store) goes on where it left off.
//
// Thread-safety: none; the outbox calls it under its own lock.

#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace orvanta::host {

class EventIdGenerator {
 public:
  // `last`: the last identifier an earlier generator gave (ignored when it is
  // not one).
  explicit EventIdGenerator(std::optional<std::string> last = std::nullopt,
                            std::uint64_t seed = std::random_device{}());

  // A new identifier for the time `now_ms`.
  std::string next(std::int64_t now_ms);
  // A new identifier for the present time of the system clock.
  std::string next();

 private:
  std::int64_t last_ms_ = -1;
  std::uint64_t high_ = 0;  // the top 16 of the 80 counting bits
  std::uint64_t low_ = 0;   // the other 64
  std::mt19937_64 random_;
};

// Whether `text` is an identifier of this form.
bool is_event_id(const std::string& text);

}  // namespace orvanta::host
