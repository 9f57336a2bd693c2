#pragma once

// The logger both libraries write through. The host may register its own
// spdlog logger under this name before first use (its sinks and format are
// then the host's); otherwise one writing to standard error is made on first
// use.

#include <memory>

#include <spdlog/logger.h>

#include "orvanta/robot/export.hpp"

namespace orvanta {

inline constexpr const char* kLoggerName = "uvicorn.access";

ORVANTA_ROBOT_EXPORT std::shared_ptr<spdlog::logger> logger();

}  // namespace orvanta
