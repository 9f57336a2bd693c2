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

// The client's own top-level window: named "微信" exactly (other programs'
// windows may have the word in their names).
std::shared_ptr<uia::Control> client_window() {
  for (const auto& window : platform.wxauto.get()->Uia().GetRootControl()->GetChildren())
    if (window->Name() == "微信") return window;
  return nullptr;
}

// In the client's window: confirms a logout notice ("确定") and presses
// "进入微信" or "登录"; whether a login button was pressed.
bool press_login_button() {
  auto window = client_window();
  if (!window) return false;
  if (auto confirm = window->ButtonControl(uia::Search{.Name = "确定", .Timeout = 0.0}); confirm->Exists(0, 0))
    confirm->Click();
  for (const char* name : {"进入微信", "登录"}) {
    auto button = window->ButtonControl(uia::Search{.Name = name, .Timeout = 0.0});
    if (button->Exists(1, 0.1)) {
      button->Click();
      return true;
    }
  }
  return false;
}

}  // namespace

bool client_online() {
  try {
    return main_window_shown();
  } catch (const std::exception&) {
    return false;
  }
}

std::string recover_client() {
  try {
    if (main_window_shown()) return "client online";
    const bool relogin = robot::auto_relogin_wechat();
    if (main_window_shown()) return "logged in again";
    if (press_login_button()) return "pressed the client's login button";
    return relogin ? "client still not online" : "client not found";
  } catch (const std::exception& e) {
    return std::string("client recovery failed: ") + e.what();
  }
}

}  // namespace orvanta::host
