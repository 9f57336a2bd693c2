#pragma once

// The clock every wait and every time stamp of the system goes through.
//
// In production the clock is the system's: every read of `now()` reads the
// system clock at that moment (so a clock correction, a time-sync step or a
// suspended machine is seen at the next read), while waits are measured on
// the monotonic clock, which such steps do not move; a wait of 0.3 s takes
// 0.3 s.
//
// Tests run the same code under a fast clock: `set_scale(k)` makes the clock
// run k times faster than real time (a 2-second pause then takes 2/k real
// seconds), and `advance(d)` moves it forward at once, so that a day-long wait
// or the ageing of a message needs no real waiting. The first call of
// set_scale, advance or set_now switches from the system clock to this test
// clock, whose wall time is then derived from the monotonic one; reset()
// switches back. The constants of the system (pauses, wait times) stay as
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

// Blocks the calling thread for `seconds` of clock time. A negative length
// does not wait; an infinite one (or one beyond the clock's range, which is
// clamped to it) blocks for good. Raises ValueError for NaN.
ORVANTA_ROBOT_EXPORT void sleep(double seconds);

// How many times faster than real time the clock runs (1 in production).
ORVANTA_ROBOT_EXPORT double scale();
// Makes the clock run `factor` times faster than real time from now on.
// REQUIRES: factor >= 1.
ORVANTA_ROBOT_EXPORT void set_scale(double factor);
// Moves the clock forward by `seconds` at once (a negative length does not
// move it; NaN raises ValueError); waits that end within the
// jump end (within a millisecond of real time).
ORVANTA_ROBOT_EXPORT void advance(double seconds);
// Sets the wall clock to `t` without disturbing waits in progress (as a
// system clock adjustment would).
ORVANTA_ROBOT_EXPORT void set_now(SystemTime t);
// Back to the system clock at real speed.
ORVANTA_ROBOT_EXPORT void reset();

// Where the system clock is read in production: std::chrono::system_clock
// unless replaced. A test replaces it to step "the system clock" and watch
// the step arrive; nullptr restores the real one. `source` must be callable
// from any thread.
using WallSource = SystemTime (*)();
ORVANTA_ROBOT_EXPORT void set_wall_source(WallSource source);

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
