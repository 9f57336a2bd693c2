#include "orvanta/robot/timing.hpp"

#include <algorithm>
#include <mutex>
#include <thread>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "orvanta/robot/async_timing.hpp"

namespace orvanta::timing {
namespace {

using Steady = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// Clock time elapsed since the facility started is
//   base_elapsed + scale * (steady now - real_origin);
// the wall clock is wall_origin plus that. Changing the scale or advancing
// folds the elapsed time into base_elapsed and restarts real_origin.
class Clock {
 public:
  Clock() { reset(); }

  Nanos elapsed() const {
    std::lock_guard guard(mu_);
    return elapsed_locked(Steady::now());
  }

  SystemTime wall() const {
    std::lock_guard guard(mu_);
    return wall_origin_ + std::chrono::duration_cast<SystemTime::duration>(elapsed_locked(Steady::now()));
  }

  double scale() const {
    std::lock_guard guard(mu_);
    return scale_;
  }

  void set_scale(double factor) {
    std::lock_guard guard(mu_);
    rebase_locked();
    scale_ = factor;
  }

  void advance(Nanos d) {
    std::lock_guard guard(mu_);
    rebase_locked();
    base_elapsed_ += d;
  }

  void set_wall(SystemTime t) {
    std::lock_guard guard(mu_);
    wall_origin_ = t - std::chrono::duration_cast<SystemTime::duration>(elapsed_locked(Steady::now()));
  }

  void reset() {
    std::lock_guard guard(mu_);
    real_origin_ = Steady::now();
    base_elapsed_ = Nanos::zero();
    scale_ = 1.0;
    wall_origin_ = std::chrono::system_clock::now();
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

  mutable std::mutex mu_;
  Steady::time_point real_origin_;
  Nanos base_elapsed_{};
  double scale_ = 1.0;
  SystemTime wall_origin_;
};

Clock& clock() {
  static Clock instance;
  return instance;
}

Nanos to_nanos(double seconds) {
  return Nanos(static_cast<Nanos::rep>(seconds * 1e9));
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
  clock().advance(to_nanos(seconds));
}
void set_now(SystemTime t) {
  clock().set_wall(t);
}
void reset() {
  clock().reset();
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
  const auto until = MonotonicClock::now() + to_nanos(seconds);
  for (;;) {
    auto left = until - MonotonicClock::now();
    if (left <= Nanos::zero()) return;
    std::this_thread::sleep_for(MonotonicClock::real_wait(left));
  }
}

boost::asio::awaitable<void> async_sleep(double seconds) {
  Timer timer(co_await boost::asio::this_coro::executor);
  timer.expires_after(to_nanos(seconds));
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace orvanta::timing
