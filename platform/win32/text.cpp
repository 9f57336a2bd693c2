#include "text.hpp"

#include <climits>

#include "orvanta/errors.hpp"
#include "orvanta/win32/windows.hpp"

namespace orvanta::win32 {

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  if (utf8.find('\0') != std::string_view::npos) throw ValueError("text holds a NUL character");
  if (utf8.size() > INT_MAX) throw ValueError("text too long");
  const int size = static_cast<int>(utf8.size());
  const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (count == 0) throw ValueError("text is not valid UTF-8");
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), count);
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  if (wide.size() > INT_MAX) throw ValueError("text too long");
  const int size = static_cast<int>(wide.size());
  const int count = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (count == 0) throw ValueError("text is not valid UTF-16");
  std::string utf8(static_cast<std::size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, utf8.data(), count, nullptr, nullptr);
  return utf8;
}

std::string error_text(std::string_view operation, unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring message = length > 0 ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) LocalFree(buffer);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
    message.pop_back();
  std::string text(operation);
  text += ": ";
  try {
    text += message.empty() ? "error " + std::to_string(code) : narrow(message);
  } catch (const ValueError&) {
    text += "error " + std::to_string(code);
  }
  return text;
}

}  // namespace orvanta::win32
