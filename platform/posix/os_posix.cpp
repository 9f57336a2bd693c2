// The operating-system pieces on POSIX systems (see orvanta/robot/os.hpp).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <dlfcn.h>
#include <pthread.h>

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

std::string read_file(const std::string& utf8_path) {
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(utf8_path.c_str(), "rb"), &std::fclose);
  if (!file) throw OSError("[Errno " + std::to_string(errno) + "] " + std::strerror(errno) + ": '" + utf8_path + "'");
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    bytes.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  if (std::ferror(file.get())) throw OSError("cannot read '" + utf8_path + "'");
  return bytes;
}

std::filesystem::path path_from_utf8(const std::string& utf8_path) {
  return std::filesystem::path(utf8_path);
}

std::string utf8_of(const std::filesystem::path& path) {
  return path.string();
}

std::string current_directory() {
  std::error_code error;
  auto dir = std::filesystem::current_path(error);
  if (error) throw OSError("cannot read the current directory: " + error.message());
  return dir.string();
}

void set_thread_name(const char* name) {
  // Linux keeps 15 bytes and a terminating NUL, and refuses longer names.
  char shortened[16];
  std::snprintf(shortened, sizeof shortened, "%s", name);
  pthread_setname_np(pthread_self(), shortened);
}

}  // namespace orvanta::os
