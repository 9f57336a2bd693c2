#pragma once

// Reading the file of a downloaded picture. Internal to the robot library.

#include <string>

namespace orvanta::robot {

// The whole content of the file at `path`. Raises OSError naming the path
// when it cannot be read.
std::string read_picture_file(const std::string& path);

}  // namespace orvanta::robot
