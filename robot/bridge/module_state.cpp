// The process-wide objects of the robot library: the shared state, the
// logger, standard output and the per-thread running loop.

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/running_loop.hpp"

namespace orvanta {

Config config;
Platform platform;

std::shared_ptr<spdlog::logger> logger() {
  static std::mutex mu;
  std::lock_guard guard(mu);
  if (auto existing = spdlog::get(kLoggerName)) return existing;
  auto made = spdlog::stderr_logger_mt(kLoggerName);
  made->set_level(spdlog::level::info);
  return made;
}

void print_line(std::string_view line) {
  static std::mutex mu;
  std::lock_guard guard(mu);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

namespace {
thread_local boost::asio::io_context* current_loop = nullptr;
}

boost::asio::io_context* running_loop_or_null() noexcept {
  return current_loop;
}

boost::asio::io_context& running_loop() {
  if (current_loop == nullptr) throw std::runtime_error("no running event loop");
  return *current_loop;
}

RunningLoopScope::RunningLoopScope(boost::asio::io_context& loop) noexcept : previous_(current_loop) {
  current_loop = &loop;
}

RunningLoopScope::~RunningLoopScope() {
  current_loop = previous_;
}

}  // namespace orvanta
