// The process-wide objects of the robot library: the shared state, the
// logger, standard output and the per-thread running loop.

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <typeinfo>

#include <boost/core/demangle.hpp>
#include <boost/exception/exception.hpp>
#include <boost/exception/get_error_info.hpp>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/robot/task_bridge.hpp"

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

namespace {

// The kind, text and, for an error that records it, the throw location.
std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::string text = boost::core::demangle(typeid(e).name()) + ": " + e.what();
    if (const auto* located = dynamic_cast<const boost::exception*>(&e)) {
      const char* const* file = boost::get_error_info<boost::throw_file>(*located);
      const int* line = boost::get_error_info<boost::throw_line>(*located);
      const char* const* function = boost::get_error_info<boost::throw_function>(*located);
      if (file != nullptr && line != nullptr) {
        text += "\n  thrown at " + std::string(*file) + ":" + std::to_string(*line);
        if (function != nullptr) text += " in " + std::string(*function);
      }
    }
    return text;
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

std::string error_text(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

void log_exception(std::string_view message, std::exception_ptr error) {
  if (!error) {
    logger()->error("{}", message);
    return;
  }
  logger()->error("{}\n{}", message, describe(error));
}

void print_line(std::string_view line) {
  static std::mutex mu;
  std::lock_guard guard(mu);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

namespace robot {
namespace {
std::atomic<double> task_wait_limit{60.0};
}

double task_wait_seconds() {
  return task_wait_limit.load();
}

void set_task_wait_seconds(double seconds) {
  if (std::isnan(seconds) || seconds <= 0) throw ValueError("the task wait limit must be greater than zero");
  task_wait_limit.store(seconds);
}
}  // namespace robot

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
