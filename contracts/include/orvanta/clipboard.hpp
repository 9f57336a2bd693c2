#pragma once

// The system clipboard, held by the system as `clip`.
//
// The clipboard is shared by every program of the desktop: it is opened,
// read and closed again within one operation. Opening it while it is open
// (by this process or another program) fails with OSError.

#include <string>
#include <variant>
#include <vector>

#include "orvanta/visibility.hpp"

namespace orvanta {

// Text (UTF-8), or a list of file paths.
using ClipboardData = std::variant<std::string, std::vector<std::string>>;

class ORVANTA_INTERFACE Clipboard {
 public:
  static constexpr unsigned CF_UNICODETEXT = 13;
  static constexpr unsigned CF_HDROP = 15;

  virtual ~Clipboard() = default;

  virtual void OpenClipboard() = 0;
  virtual void CloseClipboard() = 0;
  // REQUIRES: the clipboard is open.
  virtual bool IsClipboardFormatAvailable(unsigned format) = 0;
  // The data in `format`: for CF_HDROP the list of file paths, for
  // CF_UNICODETEXT the text. Raises OSError when the format is not there.
  // REQUIRES: the clipboard is open.
  virtual ClipboardData GetClipboardData(unsigned format) = 0;
};

}  // namespace orvanta
