#pragma once

// A wake-up for one coroutine on a single-threaded loop: notify() before or
// during wait() ends the wait; a notify() with nobody waiting is kept for
// the next wait(). Loop thread only. Included by the host's .cpp files alone
// (it brings in Asio).

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "orvanta/robot/async_timing.hpp"

namespace orvanta::host {

class Wakeup {
 public:
  explicit Wakeup(boost::asio::any_io_executor ex) : timer_(ex) {}

  void notify() {
    woken_ = true;
    timer_.cancel();
  }

  boost::asio::awaitable<void> wait() {
    if (!woken_) {
      timer_.expires_at(boost::asio::steady_timer::time_point::max());
      co_await timer_.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
    }
    woken_ = false;
  }

  // Waits `seconds` of clock time, or less when notified.
  boost::asio::awaitable<void> wait_for(double seconds) {
    using namespace boost::asio::experimental::awaitable_operators;
    if (!woken_) {
      timer_.expires_at(boost::asio::steady_timer::time_point::max());
      co_await (timing::async_sleep(seconds) || timer_.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
    }
    woken_ = false;
  }

 private:
  boost::asio::steady_timer timer_;
  bool woken_ = false;
};

}  // namespace orvanta::host
