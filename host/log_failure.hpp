#pragma once

// The completion handler of a task the host spawns: a failure is logged with
// what the task was doing. (The host never cancels its own tasks; they end
// with their loop.)

#include <exception>
#include <string>

#include "orvanta/robot/logger.hpp"

namespace orvanta::host {

inline auto log_failure(std::string what) {
  return [what = std::move(what)](std::exception_ptr e) {
    if (!e) return;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      logger()->error("{} failed: {}", what, x.what());
    } catch (...) {
      logger()->error("{} failed", what);
    }
  };
}

}  // namespace orvanta::host
