#include "picture_file.hpp"

#include "orvanta/robot/os.hpp"

namespace orvanta::robot {

std::string read_picture_file(const std::string& path) {
  // Through the OS layer: on Windows a UTF-8 path given to a narrow stream
  // would be read in the ANSI code page, and a Chinese folder name would
  // not open.
  return os::read_file(path);
}

}  // namespace orvanta::robot
