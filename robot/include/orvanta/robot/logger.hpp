#pragma once

// The logger both libraries write through. The host may register its own
// spdlog logger under this name before first use (its sinks and format are
// then the host's); otherwise one writing to standard error is made on first
// use.

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/logger.h>

#include "orvanta/robot/export.hpp"

namespace orvanta {

inline constexpr const char* kLoggerName = "uvicorn.access";

ORVANTA_ROBOT_EXPORT std::shared_ptr<spdlog::logger> logger();

// Logs `message` at error level followed, on the next line, by the error's
// kind and text ("orvanta::TypeError: ...") and, where the error carries
// one, where it was thrown. The error is the one being handled by default.
// A null error logs the message alone.
ORVANTA_ROBOT_EXPORT void log_exception(std::string_view message, std::exception_ptr error = std::current_exception());

// The error's text (what() of a standard error), as a log line quotes it.
ORVANTA_ROBOT_EXPORT std::string error_text(const std::exception_ptr& error);

}  // namespace orvanta
