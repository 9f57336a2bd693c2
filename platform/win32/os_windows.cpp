// The operating-system pieces on Windows (see orvanta/robot/os.hpp).

#include <memory>
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

namespace {

// `utf8` in UTF-16 for the wide API; raises ValueError when it is not UTF-8
// or holds a NUL.
std::wstring wide_of(const std::string& utf8) {
  if (utf8.empty()) return {};
  if (utf8.find('\0') != std::string::npos) throw ValueError("embedded null character in path");
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (size == 0) throw ValueError("path is not valid UTF-8");
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string utf8_of_wide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size == 0) throw ValueError("path is not valid UTF-16");
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

}  // namespace

std::string read_file(const std::string& utf8_path) {
  const std::wstring wide = wide_of(utf8_path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw OSError("[WinError " + std::to_string(GetLastError()) + "] cannot open '" + utf8_path + "'");
  std::unique_ptr<void, decltype(&CloseHandle)> closer(file, &CloseHandle);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr))
      throw OSError("[WinError " + std::to_string(GetLastError()) + "] cannot read '" + utf8_path + "'");
    if (n == 0) break;
    bytes.append(buffer, n);
  }
  return bytes;
}

std::filesystem::path path_from_utf8(const std::string& utf8_path) {
  return std::filesystem::path(wide_of(utf8_path));
}

std::string utf8_of(const std::filesystem::path& path) {
  return utf8_of_wide(path.wstring());
}

std::string current_directory() {
  std::error_code error;
  auto dir = std::filesystem::current_path(error);
  if (error) throw OSError("cannot read the current directory: " + error.message());
  return utf8_of(dir);
}

void set_thread_name(const char* name) {
  // SetThreadDescription exists from Windows 10 1607 on; it is looked up so
  // that the library still loads where it is missing.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  auto set =
      reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set == nullptr) return;
  try {
    set(GetCurrentThread(), wide_of(name).c_str());
  } catch (const ValueError&) {
    // A name that is no text is not set.
  }
}

}  // namespace orvanta::os
