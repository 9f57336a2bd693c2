// The operating-system pieces on Windows (see orvanta/robot/os.hpp).

#include <string>

#include <windows.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/os.hpp"

namespace orvanta::os {

std::tm local_time(std::time_t t) {
  std::tm fields{};
  // The C runtime's conversion: the zone of the TZ variable when it is set,
  // otherwise the system's time zone. It refuses times before 1970.
  if (localtime_s(&fields, &t) != 0) throw ValueError("local time out of range: " + std::to_string(t));
  return fields;
}

std::time_t make_local_time(std::tm fields) {
  const std::time_t t = std::mktime(&fields);
  // The C runtime answers -1 for every time it cannot represent, including
  // one second before the epoch, which it refuses as well.
  if (t == static_cast<std::time_t>(-1)) throw ValueError("local time out of range");
  return t;
}

std::filesystem::path library_path_of(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    throw OSError("cannot tell which library holds the address");
  // The path may be longer than MAX_PATH; grow until it fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) throw OSError("cannot read the path of the library that holds the address");
    if (length < path.size()) {
      path.resize(length);
      return std::filesystem::absolute(std::filesystem::path(path));
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace orvanta::os
