#include "orvanta/robot/timing.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "orvanta/errors.hpp"
#include "orvanta/robot/async_timing.hpp"

namespace orvanta::timing {
namespace {

using Steady = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// Where the production wall time comes from (nullptr: the system clock).
std::atomic<WallSource> wall_source{nullptr};

SystemTime read_wall_source() {
  const WallSource source = wall_source.load(std::memory_order_acquire);
  return source != nullptr ? source() : std::chrono::system_clock::now();
}

// Clock time elapsed since the facility started is
//   base_elapsed + scale * (steady now - real_origin).
// In production the wall time is read from the wall source at every read.
// Under the test clock (from the first set_scale, advance or set_now until
// reset) the wall time is wall_origin plus the elapsed time, so that
// advancing moves it too. Changing the scale or advancing folds the elapsed
// time into base_elapsed and restarts real_origin.
class Clock {
 public:
  Clock() { reset(); }

  Nanos elapsed() const {
    std::lock_guard guard(mu_);
    return elapsed_locked(Steady::now());
  }

  SystemTime wall() const {
    if (!test_clock_.load(std::memory_order_acquire)) return read_wall_source();
    std::lock_guard guard(mu_);
    if (!test_clock_.load(std::memory_order_relaxed)) return read_wall_source();
    return wall_origin_ + std::chrono::duration_cast<SystemTime::duration>(elapsed_locked(Steady::now()));
  }

  double scale() const {
    std::lock_guard guard(mu_);
    return scale_;
  }

  void set_scale(double factor) {
    std::lock_guard guard(mu_);
    use_test_clock_locked();
    rebase_locked();
    scale_ = factor;
  }

  void advance(Nanos d) {
    std::lock_guard guard(mu_);
    use_test_clock_locked();
    rebase_locked();
    base_elapsed_ += d;
  }

  void set_wall(SystemTime t) {
    std::lock_guard guard(mu_);
    use_test_clock_locked();
    wall_origin_ = t - std::chrono::duration_cast<SystemTime::duration>(elapsed_locked(Steady::now()));
  }

  void reset() {
    std::lock_guard guard(mu_);
    real_origin_ = Steady::now();
    base_elapsed_ = Nanos::zero();
    scale_ = 1.0;
    test_clock_.store(false, std::memory_order_release);
  }

 private:
  Nanos elapsed_locked(Steady::time_point real_now) const {
    auto real = std::chrono::duration_cast<Nanos>(real_now - real_origin_);
    return base_elapsed_ + Nanos(static_cast<Nanos::rep>(static_cast<double>(real.count()) * scale_));
  }

  void rebase_locked() {
    auto real_now = Steady::now();
    base_elapsed_ = elapsed_locked(real_now);
    real_origin_ = real_now;
  }

  // The test clock starts from the system's wall time of this moment.
  void use_test_clock_locked() {
    if (test_clock_.load(std::memory_order_relaxed)) return;
    wall_origin_ = read_wall_source() - std::chrono::duration_cast<SystemTime::duration>(elapsed_locked(Steady::now()));
    test_clock_.store(true, std::memory_order_release);
  }

  mutable std::mutex mu_;
  Steady::time_point real_origin_;
  Nanos base_elapsed_{};
  double scale_ = 1.0;
  // Read without the lock on the production path; written under it.
  std::atomic<bool> test_clock_{false};
  SystemTime wall_origin_{};
};

Clock& clock() {
  static Clock instance;
  return instance;
}

// The clock time a wait of `seconds` lasts: nothing for a negative length,
// the clock's whole range (some 292 years, for good in practice) for an
// infinite one or one beyond that range.
Nanos wait_length(double seconds) {
  if (std::isnan(seconds)) throw ValueError("Invalid value NaN (not a number)");
  if (!(seconds > 0)) return Nanos::zero();
  const double nanos = seconds * 1e9;
  // The maximum converts to 2^63 exactly; every smaller value fits.
  if (nanos >= static_cast<double>(Nanos::max().count())) return Nanos::max();
  return Nanos(static_cast<Nanos::rep>(nanos));
}

MonotonicClock::time_point add_clamped(MonotonicClock::time_point t, Nanos d) {
  if (d > MonotonicClock::time_point::max() - t) return MonotonicClock::time_point::max();
  return t + d;
}

// The longest real wait between two looks at the clock. A fast clock may be
// advanced by a test at any moment, so it is looked at often; at real speed a
// jump is rare and a second's delay harmless.
Nanos max_real_wait(double scale) {
  return scale > 1.0 ? std::chrono::milliseconds(1) : std::chrono::milliseconds(1000);
}

struct WaitTraits {
  static MonotonicClock::duration to_wait_duration(const MonotonicClock::duration& d) {
    return MonotonicClock::real_wait(d);
  }
  static MonotonicClock::duration to_wait_duration(const MonotonicClock::time_point& t) {
    return MonotonicClock::real_wait(t - MonotonicClock::now());
  }
};

using Timer = boost::asio::basic_waitable_timer<MonotonicClock, WaitTraits>;

}  // namespace

SystemTime now() {
  return clock().wall();
}

double time() {
  return std::chrono::duration<double>(now().time_since_epoch()).count();
}

double scale() {
  return clock().scale();
}
void set_scale(double factor) {
  clock().set_scale(std::max(1.0, factor));
}
void advance(double seconds) {
  clock().advance(wait_length(seconds));
}
void set_now(SystemTime t) {
  clock().set_wall(t);
}
void reset() {
  clock().reset();
}
void set_wall_source(WallSource source) {
  wall_source.store(source, std::memory_order_release);
}

MonotonicClock::time_point MonotonicClock::now() noexcept {
  return time_point(clock().elapsed());
}

MonotonicClock::duration MonotonicClock::real_wait(duration d) noexcept {
  if (d <= duration::zero()) return duration::zero();
  double k = clock().scale();
  auto real = Nanos(static_cast<Nanos::rep>(static_cast<double>(d.count()) / k));
  return std::min(real, max_real_wait(k));
}

void sleep(double seconds) {
  const auto until = add_clamped(MonotonicClock::now(), wait_length(seconds));
  for (;;) {
    auto left = until - MonotonicClock::now();
    if (left <= Nanos::zero()) return;
    std::this_thread::sleep_for(MonotonicClock::real_wait(left));
  }
}

boost::asio::awaitable<void> async_sleep(double seconds) {
  const Nanos length = wait_length(seconds);
  Timer timer(co_await boost::asio::this_coro::executor);
  // The timer's own addition saturates at the clock's end.
  timer.expires_after(length);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace orvanta::timing
