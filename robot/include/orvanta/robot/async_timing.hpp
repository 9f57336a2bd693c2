#pragma once

// Asynchronous waits on the facility's clock (see timing.hpp).

#include <boost/asio/awaitable.hpp>

#include "orvanta/robot/export.hpp"

namespace orvanta::timing {

// Waits `seconds` of clock time without blocking the event loop. Ends with
// boost::system::system_error(operation_aborted) when the waiting task is
// cancelled. A negative length does not wait; an infinite one (or one beyond
// the clock's range, which is clamped to it) waits until cancelled. Raises
// ValueError for NaN.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> async_sleep(double seconds);

}  // namespace orvanta::timing
