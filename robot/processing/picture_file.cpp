#include "picture_file.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "orvanta/errors.hpp"

namespace orvanta::robot {

std::string read_picture_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw OSError("[Errno " + std::to_string(errno) + "] " + std::strerror(errno) + ": '" + path + "'");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw OSError("cannot read '" + path + "'");
  return bytes;
}

}  // namespace orvanta::robot
