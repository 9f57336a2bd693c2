#pragma once

// Lines the system prints for a person to read go to standard output, one
// whole line per call, flushed at once, never interleaved with another
// thread's line.

#include <string_view>

#include "orvanta/robot/export.hpp"

namespace orvanta {

ORVANTA_ROBOT_EXPORT void print_line(std::string_view line);

}  // namespace orvanta
