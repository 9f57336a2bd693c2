#pragma once

// A client driver that passes every call to another driver and counts the
// polls of the listening loop, so that the host can report listening cycles
// and when the first poll happened, and tells which chat windows were read
// (ChatWith then GetAllMessage), whatever client sits underneath.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "orvanta/wxauto.hpp"

namespace orvanta::host {

struct DriverCounts {
  std::atomic<std::uint64_t> polls{0};
  std::atomic<std::uint64_t> sends{0};
  // steady_clock time of the first poll, in nanoseconds since its epoch; 0
  // until then.
  std::atomic<std::int64_t> first_poll_ns{0};
  // Called with the chat's name after its window was read; set before the
  // driver is used, on whichever thread reads.
  std::function<void(const std::string& chat)> on_read;
};

std::shared_ptr<wxauto::Driver> make_counting_driver(std::shared_ptr<wxauto::Driver> inner,
                                                     std::shared_ptr<DriverCounts> counts);

}  // namespace orvanta::host
