#pragma once

// Which event loop the calling thread is running. A thread that runs a loop
// marks it with a RunningLoopScope for as long as it runs it; operations that
// must schedule work on "the caller's running event loop" look it up here.
// At most one running loop per thread; scopes nest (an inner loop run on the
// same thread is current until its scope ends).

#include "orvanta/robot/export.hpp"

namespace boost::asio {
class io_context;
}

namespace orvanta {

// The calling thread's running loop, or null.
ORVANTA_ROBOT_EXPORT boost::asio::io_context* running_loop_or_null() noexcept;

// The calling thread's running loop; raises std::runtime_error
// "no running event loop" when there is none.
ORVANTA_ROBOT_EXPORT boost::asio::io_context& running_loop();

class ORVANTA_ROBOT_EXPORT RunningLoopScope {
 public:
  explicit RunningLoopScope(boost::asio::io_context& loop) noexcept;
  ~RunningLoopScope();
  RunningLoopScope(const RunningLoopScope&) = delete;
  RunningLoopScope& operator=(const RunningLoopScope&) = delete;

 private:
  boost::asio::io_context* previous_;
};

}  // namespace orvanta
