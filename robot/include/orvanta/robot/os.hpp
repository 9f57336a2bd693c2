#pragma once

// The operating-system pieces the libraries need beyond the standard library.
// Each function is defined once per platform: platform/posix/os_posix.cpp or
// platform/win32/os_windows.cpp, chosen by the build, so shared code carries
// no platform conditionals.
//
// Thread-safety: every function may be called from any thread.

#include <ctime>
#include <filesystem>

#include "orvanta/robot/export.hpp"

namespace orvanta::os {

// `t` broken down into local calendar fields under the process's time zone.
// Raises ValueError when the platform cannot represent `t`.
ORVANTA_ROBOT_EXPORT std::tm local_time(std::time_t t);

// The local calendar fields of `fields` (tm_isdst -1: let the zone decide)
// as a time since the epoch, normalising fields out of range (day 32 is the
// next month's first). Raises ValueError when the result cannot be
// represented.
ORVANTA_ROBOT_EXPORT std::time_t make_local_time(std::tm fields);

// The absolute path of the shared library (or executable) file that contains
// the code or data at `address`. Raises OSError when the platform cannot say.
ORVANTA_ROBOT_EXPORT std::filesystem::path library_path_of(const void* address);

}  // namespace orvanta::os
