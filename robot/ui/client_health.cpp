// Administrator rights, the online check and re-login after a logout.

#include "orvanta/robot/client_health.hpp"

#include <exception>
#include <memory>
#include <string>

#include "orvanta/robot/command_line.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/os.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::robot {
namespace {

// The shell reports success of ShellExecuteW with a code above this.
constexpr std::intptr_t kShellExecuteLastError = 32;
// ShellExecuteW's show mode for a normal window.
constexpr int kShowNormal = 1;

// Whether the process runs elevated: user id 0 where the platform has user
// ids, else what the shell says.
bool is_admin(const Shell& shell) {
  if (std::optional<long> uid = shell.getuid()) return *uid == 0;
  return shell.IsUserAnAdmin() != 0;
}

uia::Automation& automation() {
  return platform.wxauto.get()->Uia();
}

// The first top-level window whose name contains "微信" (several instances
// and other titles) and whose class is the client's main or login window
// (not another program named after it), in the desktop's order, or null.
std::shared_ptr<uia::Control> client_window() {
  for (const auto& child : automation().GetRootControl()->GetChildren()) {
    const std::string name = child->Name();
    if (name.find("微信") == std::string::npos) continue;
    const std::string class_name = child->ClassName();
    if (class_name == kMainWindowClass || class_name == kLoginWindowClass) {
      print_line("找到微信主窗口: " + name);
      return child;
    }
  }
  return nullptr;
}

bool relogin() {
  auto window = client_window();
  if (!window) {
    print_line("未找到微信主窗口");
    return false;
  }
  // A window that cannot be brought forward may still show the notice.
  try {
    window->SetActive();
    window->SetTopmost(true);
  } catch (const std::exception& e) {
    print_line(std::string("窗口激活/置顶异常： ") + e.what());
  }

  if (!window->TextControl({.Name = "你已退出微信"})->Exists(0, 0)) {
    print_line("微信处于登录状态");
    return true;
  }
  print_line("检测到已退出微信，自动处理...");
  auto confirm = window->ButtonControl({.Name = "确定"});
  if (!confirm->Exists(0, 0)) {
    print_line("未找到“确定”按钮");
    return false;
  }
  confirm->Click();
  print_line("已点击“确定”按钮");
  timing::sleep(0.1);
  auto enter = window->ButtonControl({.Name = "进入微信"});
  if (enter->Exists(0, 0)) {
    enter->Click();
    print_line("已点击“进入微信”按钮，等待登录");
    return true;
  }
  print_line("未找到“进入微信”按钮，请手动登录");
  return false;
}

}  // namespace

void run_in_root() {
  std::shared_ptr<Shell> shell = platform.shell.get();
  if (is_admin(*shell)) return;
  // Each argument is quoted so that the elevated copy receives exactly the
  // arguments this process was given, blanks and quotes included; and it
  // starts in this process's directory (the shell would start it in the
  // system folder), so that relative arguments name the same files.
  const std::intptr_t result = shell->ShellExecuteW(
      0, "runas", shell->executable(), windows_command_line(shell->arguments()), os::current_directory(), kShowNormal);
  if (result <= kShellExecuteLastError) {
    // Ending with success here would hide that nothing runs any more.
    print_line("以管理员身份重新启动失败，ShellExecuteW 返回 " + std::to_string(result));
    shell->exit(1);
  }
  shell->exit(0);
}

bool isOnline() {
  try {
    if (platform.wxauto.get()->FindWindow(kMainWindowClass) != 0) {
      print_line("在线");
      return false;
    }
    print_line("没有在线");
    config.offline_msg.set(kOfflineMessage);
    timing::sleep(1);
    std::optional<bool> confirmed = click_confirm_button();
    return confirmed.value_or(false);
  } catch (const std::exception& e) {
    print_line(std::string("isOnline 检查异常： ") + e.what());
    return false;
  }
}

bool auto_relogin_wechat() {
  try {
    return relogin();
  } catch (const std::exception& e) {
    print_line(std::string("auto_relogin_wechat 异常： ") + e.what());
    return false;
  }
}

std::optional<bool> click_confirm_button() {
  auto confirm = automation().ButtonControl({.Name = "确定", .searchDepth = 6});
  if (!confirm->Exists(2)) {
    print_line("未找到“确定”按钮");
    return false;
  }
  confirm->Click();
  timing::sleep(1);
  auto login = automation().ButtonControl({.Name = "登录", .searchDepth = 12, .Timeout = 0});
  if (login->Exists(0)) {
    login->Click();
    return true;
  }
  return std::nullopt;
}

}  // namespace orvanta::robot
