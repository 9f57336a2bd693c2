#pragma once

// The Windows implementations of the platform interfaces: the system
// clipboard, the shell and the running process, and the finder of top-level
// windows by class. Texts cross these interfaces as UTF-8 and are converted
// to and from the wide texts of the Windows API here.

#include <cstdint>
#include <memory>
#include <string>

#include "orvanta/clipboard.hpp"
#include "orvanta/shell.hpp"

namespace orvanta::win32 {

// The system clipboard. Windows ties an open clipboard to the thread that
// opened it: the thread that calls OpenClipboard must also call the reads and
// CloseClipboard. Opening it while this object holds it open fails with
// OSError, as does opening it while another program holds it. Reading it
// while this object does not hold it open fails with OSError.
// GetClipboardData knows CF_HDROP (the file list, in the order the list
// holds them) and CF_UNICODETEXT; another format raises ValueError.
std::shared_ptr<Clipboard> make_clipboard();

// The shell and this process. getuid() is always empty: Windows has no user
// ids, IsUserAnAdmin decides. exit() ends the process through std::exit, so
// buffered output is flushed.
std::shared_ptr<Shell> make_shell();

// The handle of a top-level window of the class `classname` (UTF-8), 0 when
// there is none. Hidden windows count; message-only windows do not.
std::uintptr_t find_window_by_class(const std::string& classname);

}  // namespace orvanta::win32
