// Top-level windows by class through FindWindowW.

#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"
#include "text.hpp"

namespace orvanta::win32 {

std::uintptr_t find_window_by_class(const std::string& classname) {
  const std::wstring wide = widen(classname);
  return reinterpret_cast<std::uintptr_t>(FindWindowW(wide.c_str(), nullptr));
}

}  // namespace orvanta::win32
