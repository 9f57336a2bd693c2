#pragma once

// The operating-system pieces the libraries need beyond the standard library.
// Each function is defined once per platform: platform/posix/os_posix.cpp or
// platform/win32/os_windows.cpp, chosen by the build, so shared code carries
// no platform conditionals.
//
// Thread-safety: every function may be called from any thread.

#include <ctime>
#include <filesystem>
#include <string>

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

// The whole content of the file at `utf8_path`, a path in UTF-8 as the rest
// of the system keeps texts (on Windows opened through its wide form, so
// that names outside the ANSI code page work). Raises OSError naming the
// path when the file cannot be opened or read.
ORVANTA_ROBOT_EXPORT std::string read_file(const std::string& utf8_path);

// A path given in UTF-8 as a path object, and a path object as UTF-8 text
// (on Windows neither goes through the ANSI code page).
ORVANTA_ROBOT_EXPORT std::filesystem::path path_from_utf8(const std::string& utf8_path);
ORVANTA_ROBOT_EXPORT std::string utf8_of(const std::filesystem::path& path);

// The process's current directory as UTF-8 text. Raises OSError when it
// cannot be read.
ORVANTA_ROBOT_EXPORT std::string current_directory();

// Names the calling thread, as debuggers and process viewers show it
// (pthread_setname_np, SetThreadDescription). Where the platform limits
// the length (15 bytes on Linux) the name is cut to fit. Failure is ignored:
// a name is only a help for reading.
ORVANTA_ROBOT_EXPORT void set_thread_name(const char* name);

}  // namespace orvanta::os
