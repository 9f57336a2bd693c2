#pragma once

// Keeping the client usable while nobody watches it: administrator rights
// for the process, whether the client is still logged in, and logging in
// again after the client has logged the user out. Every line these
// operations report goes to standard output.
//
// Thread-safety: the operations drive the client's windows and take no lock;
// called from another thread while the listening thread drives the client,
// the two would interfere.

#include <optional>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// The offline notice set by isOnline when the main window is missing.
inline constexpr const char* kOfflineMessage = "为了你的账号安全，请重新登录。";
// The window class of the client's main window.
inline constexpr const char* kMainWindowClass = "WeChatMainWndForPC";
// The window class of the client's login window (shown while logged out).
inline constexpr const char* kLoginWindowClass = "WeChatLoginWndForPC";

// Returns when the process already runs with administrator rights. Otherwise
// asks the shell to start the same program elevated with the same arguments
// (each quoted by the Windows command-line rules) in this process's current
// directory, and ends this process:
// with status 0 when the elevated copy was started, else after printing the
// failure with status 1. Errors of the shell pass to the caller.
ORVANTA_ROBOT_EXPORT void run_in_root();

// "是否在线，异常保护"
// False when the client's main window exists (prints "在线"). Otherwise
// prints "没有在线", sets config.offline_msg, waits 1 s and returns whether
// click_confirm_button() gave true. Any ordinary error is printed and gives
// false. Note that the result is false, not true, while the client is online.
ORVANTA_ROBOT_EXPORT bool isOnline();

// "检测“你已退出微信”提示，自动点击“确定”按钮，然后点击“进入微信”按钮尝试重新登录。"
// "支持多开和不同窗口标题。异常保护。"
// Takes the first top-level window whose name contains "微信" and whose class
// is the client's main or login window (another program's window, say a
// reader named "微信读书", is passed over), brings it to
// the front and, when it shows the logout notice, confirms it and presses the
// enter button. True when the client is logged in or the enter button was
// pressed; false otherwise, and after any ordinary error (printed).
ORVANTA_ROBOT_EXPORT bool auto_relogin_wechat();

// Presses the confirmation button and then the login button, both searched
// from the desktop root. True after both; nothing when only the confirmation
// button was there; false when it was not (printed). Errors pass to the
// caller.
ORVANTA_ROBOT_EXPORT std::optional<bool> click_confirm_button();

}  // namespace orvanta::robot
