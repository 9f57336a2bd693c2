#pragma once

// Conversions between the system's UTF-8 texts and the wide (UTF-16) texts
// of the Windows API, and the text of a Windows error code.

#include <string>
#include <string_view>

namespace orvanta::win32 {

// Raises ValueError when `utf8` is not valid UTF-8 or holds a NUL character
// (which a wide API text would cut short).
std::wstring widen(std::string_view utf8);

// Raises ValueError when `wide` is not valid UTF-16 (an unpaired surrogate).
std::string narrow(std::wstring_view wide);

// "<operation>: <the system's message for code>", for OSError.
std::string error_text(std::string_view operation, unsigned long code);

}  // namespace orvanta::win32
