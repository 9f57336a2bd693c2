// The operating-system pieces on POSIX systems (see orvanta/robot/os.hpp).

#include <cerrno>
#include <cstring>
#include <string>

#include <dlfcn.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/os.hpp"

namespace orvanta::os {

std::tm local_time(std::time_t t) {
  std::tm fields{};
  if (localtime_r(&t, &fields) == nullptr) throw ValueError("local time out of range: " + std::to_string(t));
  return fields;
}

std::time_t make_local_time(std::tm fields) {
  errno = 0;
  const std::time_t t = std::mktime(&fields);
  // mktime gives -1 both for an error and for one second before the epoch;
  // only errno tells them apart where the platform sets it.
  if (t == static_cast<std::time_t>(-1) && errno != 0) throw ValueError("local time out of range");
  return t;
}

std::filesystem::path library_path_of(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
    throw OSError("cannot tell which library holds the address");
  return std::filesystem::absolute(info.dli_fname);
}

}  // namespace orvanta::os
