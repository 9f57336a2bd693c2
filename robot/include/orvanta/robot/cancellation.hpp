#pragma once

// Cancellation of an asynchronous task is not an ordinary error. Asio
// reports it as a boost::system::system_error (operation_aborted, or
// operation_canceled), which derives from std::exception; code that catches
// "every ordinary error" asks is_cancellation first and lets cancellation
// through, so a cancelled task always ends.

#include <exception>

#include "orvanta/robot/export.hpp"

namespace orvanta {

// Whether `e` reports that the task was cancelled rather than that it failed.
ORVANTA_ROBOT_EXPORT bool is_cancellation(const std::exception& e) noexcept;

}  // namespace orvanta
