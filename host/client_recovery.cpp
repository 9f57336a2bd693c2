#include "client_recovery.hpp"

#include <exception>

#include "orvanta/robot/client_health.hpp"
#include "orvanta/robot/platform.hpp"

namespace orvanta::host {
namespace {

constexpr const char* kMainWindowClass = "WeChatMainWndForPC";

bool main_window_shown() {
  return platform.wxauto.get()->FindWindow(kMainWindowClass) != 0;
}

// Presses "进入微信" or "登录" in the client's top-level window (the first
// whose name contains "微信"); whether one was pressed.
bool press_login_button() {
  auto root = platform.wxauto.get()->Uia().GetRootControl();
  for (const auto& window : root->GetChildren()) {
    if (window->Name().find("微信") == std::string::npos) continue;
    for (const char* name : {"进入微信", "登录"}) {
      auto button = window->ButtonControl(uia::Search{.Name = name, .Timeout = 0.0});
      if (button->Exists(0, 0)) {
        button->Click();
        return true;
      }
    }
    return false;
  }
  return false;
}

}  // namespace

std::string recover_client() {
  try {
    if (main_window_shown()) return "client online";
    const bool relogin = robot::auto_relogin_wechat();
    if (main_window_shown()) return "logged in again";
    if (press_login_button()) return "pressed the login window's button";
    return relogin ? "client still not online" : "client not found";
  } catch (const std::exception& e) {
    return std::string("client recovery failed: ") + e.what();
  }
}

}  // namespace orvanta::host
