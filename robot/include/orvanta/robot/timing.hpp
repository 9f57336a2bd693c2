#pragma once

// The clock every wait and every time stamp of the system goes through.
//
// In production the clock is the system's: `now()` is the wall clock and a
// wait of 0.3 s takes 0.3 s. Tests run the same code under a fast clock:
// `set_scale(k)` makes the clock run k times faster than real time (a
// 2-second pause then takes 2/k real seconds), and `advance(d)` moves it
// forward at once, so that a day-long wait or the ageing of a message needs
// no real waiting. The constants of the system (pauses, wait times) stay as
// they are; only the clock under them changes.
//
// Thread-safety: every function may be called from any thread.

#include <chrono>
#include <cstdint>

#include "orvanta/robot/export.hpp"

namespace orvanta::timing {

using SystemTime = std::chrono::system_clock::time_point;

// The current wall-clock time.
ORVANTA_ROBOT_EXPORT SystemTime now();
// The current wall-clock time in seconds since the epoch, with fraction.
ORVANTA_ROBOT_EXPORT double time();

// Blocks the calling thread for `seconds` of clock time.
ORVANTA_ROBOT_EXPORT void sleep(double seconds);

// How many times faster than real time the clock runs (1 in production).
ORVANTA_ROBOT_EXPORT double scale();
// Makes the clock run `factor` times faster than real time from now on.
// REQUIRES: factor >= 1.
ORVANTA_ROBOT_EXPORT void set_scale(double factor);
// Moves the clock forward by `seconds` at once; waits that end within the
// jump end (within a millisecond of real time).
ORVANTA_ROBOT_EXPORT void advance(double seconds);
// Sets the wall clock to `t` without disturbing waits in progress (as a
// system clock adjustment would).
ORVANTA_ROBOT_EXPORT void set_now(SystemTime t);
// Back to the system clock at real speed.
ORVANTA_ROBOT_EXPORT void reset();

// A monotonic clock that follows the facility (for asynchronous timers).
struct ORVANTA_ROBOT_EXPORT MonotonicClock {
  using rep = std::int64_t;
  using period = std::nano;
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<MonotonicClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
  // The real time to wait before looking again whether `d` of clock time
  // has passed.
  static duration real_wait(duration d) noexcept;
};

}  // namespace orvanta::timing
