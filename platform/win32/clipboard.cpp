// The system clipboard through the Win32 clipboard functions.

#include <mutex>
#include <string>
#include <vector>

#include "orvanta/errors.hpp"
#include "orvanta/win32/platform.hpp"
#include "orvanta/win32/windows.hpp"
#include "text.hpp"

namespace orvanta::win32 {
namespace {

// The paths of a file list (CF_HDROP), first file first.
std::vector<std::string> file_list(HDROP drop) {
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  std::vector<std::string> paths;
  paths.reserve(count);
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileW(drop, i, nullptr, 0);
    std::wstring path(length + 1, L'\0');
    const UINT copied = DragQueryFileW(drop, i, path.data(), length + 1);
    path.resize(copied);
    paths.push_back(narrow(path));
  }
  return paths;
}

// The text of CF_UNICODETEXT, up to its NUL or the end of its memory block,
// whichever comes first.
std::string unicode_text(HANDLE data) {
  const auto* chars = static_cast<const wchar_t*>(GlobalLock(data));
  if (chars == nullptr) throw OSError(error_text("GlobalLock", GetLastError()));
  const std::size_t limit = GlobalSize(data) / sizeof(wchar_t);
  std::size_t length = 0;
  while (length < limit && chars[length] != L'\0') ++length;
  std::wstring copy(chars, length);
  GlobalUnlock(data);
  return narrow(copy);
}

class Win32Clipboard final : public Clipboard {
 public:
  void OpenClipboard() override {
    std::lock_guard guard(mu_);
    if (open_) throw OSError("OpenClipboard: the clipboard is already open");
    if (!::OpenClipboard(nullptr)) throw OSError(error_text("OpenClipboard", GetLastError()));
    open_ = true;
  }

  void CloseClipboard() override {
    std::lock_guard guard(mu_);
    require_open_locked("CloseClipboard");
    // Counted as closed whatever the system answers: after a failed close
    // there is nothing this object could retry.
    open_ = false;
    if (!::CloseClipboard()) throw OSError(error_text("CloseClipboard", GetLastError()));
  }

  bool IsClipboardFormatAvailable(unsigned format) override {
    std::lock_guard guard(mu_);
    require_open_locked("IsClipboardFormatAvailable");
    return ::IsClipboardFormatAvailable(format) != 0;
  }

  ClipboardData GetClipboardData(unsigned format) override {
    std::lock_guard guard(mu_);
    require_open_locked("GetClipboardData");
    if (format != CF_HDROP && format != CF_UNICODETEXT)
      throw ValueError("GetClipboardData: format " + std::to_string(format) + " is not supported");
    if (!::IsClipboardFormatAvailable(format)) throw OSError("GetClipboardData: the format is not available");
    HANDLE data = ::GetClipboardData(format);
    if (data == nullptr) throw OSError(error_text("GetClipboardData", GetLastError()));
    if (format == CF_HDROP) return file_list(static_cast<HDROP>(data));
    return unicode_text(data);
  }

 private:
  void require_open_locked(const char* operation) const {
    if (!open_) throw OSError(std::string(operation) + ": the clipboard is not open");
  }

  std::mutex mu_;
  bool open_ = false;  // guarded by mu_
};

}  // namespace

std::shared_ptr<Clipboard> make_clipboard() {
  return std::make_shared<Win32Clipboard>();
}

}  // namespace orvanta::win32
