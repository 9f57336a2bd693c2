#pragma once

// An event loop of the test's own, run on a thread of its own, as the host
// runs its loop: work can be handed to it and waited for.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "orvanta/robot/running_loop.hpp"

namespace orvanta::testing {

class LoopThread {
 public:
  LoopThread() : work_(boost::asio::make_work_guard(loop_)) {
    thread_ = std::thread([this] {
      RunningLoopScope scope(loop_);
      loop_.run();
    });
  }
  ~LoopThread() { stop(); }

  boost::asio::io_context& loop() { return loop_; }

  // Runs `fn` on the loop and waits for it.
  template <class F>
  auto call(F fn) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    boost::asio::post(loop_, [&task] { task(); });
    return result.get();
  }

  void stop() {
    if (!thread_.joinable()) return;
    work_.reset();
    loop_.stop();
    thread_.join();
  }

 private:
  boost::asio::io_context loop_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::thread thread_;
};

// Waits up to 20 s of real time for `pred` to hold, looking every millisecond.
inline bool eventually(const std::function<bool()>& pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace orvanta::testing
