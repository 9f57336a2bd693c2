#include "orvanta/robot/client_health.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/robot/config.hpp"
#include "robot/ui/sim_client_fixture.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Arrange = std::function<void(sim::SimClient&)>;

class ClientHealth : public testing::SimClientTest {};

TEST_F(ClientHealth, RunInRootReturnsWhenElevatedAndRestartsElevatedOtherwise) {
  const std::vector<std::string> args = {"--scenario", R"(C:\My Files\a b.json)", R"(say "hi")", "", R"(dir\)"};
  const std::string quoted = R"(--scenario "C:\My Files\a b.json" "say \"hi\"" "" dir\)";
  const struct {
    const char* name;
    std::optional<long> uid;
    bool admin;
    std::intptr_t execute_result;
    std::optional<int> exit;  // nothing: run_in_root returned
    std::vector<std::string> lines;
  } cases[] = {
      {"root", 0, false, 42, std::nullopt, {}},
      {"Windows administrator", std::nullopt, true, 42, std::nullopt, {}},
      {"ordinary user", 1000, true, 42, 0, {}},
      {"Windows user", std::nullopt, false, 42, 0, {}},
      {"elevated copy refused", 1000, false, 5, 1, {"以管理员身份重新启动失败，ShellExecuteW 返回 5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    auto shell = client_->shell();
    shell->set_uid(c.uid);
    shell->set_admin(c.admin);
    shell->set_execute_result(c.execute_result);
    shell->set_command_line(R"(C:\Program Files\orvanta\orvanta.exe)", args);
    std::optional<int> exited;
    try {
      run_in_root();
    } catch (const sim::ProcessExit& e) {
      exited = e.status();
    }
    EXPECT_EQ(exited, c.exit);
    EXPECT_EQ(printed(), c.lines);
    if (!c.exit) {
      EXPECT_THAT(shell->requests(), IsEmpty());
      continue;
    }
    ASSERT_EQ(shell->requests().size(), 1u);
    const sim::ShellRequest r = shell->requests()[0];
    EXPECT_EQ(r.hwnd, 0u);
    EXPECT_EQ(r.operation, "runas");
    EXPECT_EQ(r.file, R"(C:\Program Files\orvanta\orvanta.exe)");
    EXPECT_EQ(r.parameters, quoted);
    EXPECT_EQ(r.directory, std::nullopt);
    EXPECT_EQ(r.show, 1);
  }
}

TEST_F(ClientHealth, IsOnlineReportsEachStateAndIsFalseWhileOnline) {
  const struct {
    const char* name;
    Arrange setup;
    std::vector<std::string> lines;
    bool result;
    bool offline_msg_set;
    bool logged_in_after;
  } cases[] = {
      {"online", [](sim::SimClient&) {}, {"在线"}, false, false, true},
      {"logged out, login button", [](sim::SimClient& c) { c.logout(true, true); }, {"没有在线"}, true, true, true},
      {"logged out, no login button",
       [](sim::SimClient& c) { c.logout(true, false); },
       {"没有在线"},
       false,
       true,
       false},
      {"no confirmation button",
       [](sim::SimClient& c) {
         c.logout();
         c.fail_on_call("search:Button:确定", 1);
       },
       {"没有在线", "未找到“确定”按钮"},
       false,
       true,
       false},
      {"pressing the confirmation fails",
       [](sim::SimClient& c) {
         c.logout();
         c.fail_on_call("search:Button:确定", 2);
       },
       {"没有在线", "isOnline 检查异常： control not found: Button(Name=确定)"},
       false,
       true,
       false},
      {"the window list cannot be read",
       [](sim::SimClient& c) { c.fail_on_call("FindWindow", 1); },
       {"isOnline 检查异常： FindWindow: the window list could not be read"},
       false,
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.setup(*client_);
    EXPECT_EQ(isOnline(), c.result);
    EXPECT_EQ(printed(), c.lines);
    EXPECT_EQ(config.offline_msg.load(),
              c.offline_msg_set ? std::optional<std::string>(kOfflineMessage) : std::nullopt);
    EXPECT_EQ(client_->logged_in(), c.logged_in_after);
  }
}

TEST_F(ClientHealth, ClickConfirmButtonGivesNothingWhenOnlyTheConfirmationWasThere) {
  client_->logout(true, false);
  EXPECT_EQ(click_confirm_button(), std::nullopt);
  client_->login();
  client_->logout(false, true);
  EXPECT_EQ(click_confirm_button(), std::optional<bool>(true));
  EXPECT_TRUE(client_->logged_in());
  EXPECT_EQ(click_confirm_button(), std::optional<bool>(false));
  EXPECT_THAT(printed(), ElementsAre("未找到“确定”按钮"));
}

TEST_F(ClientHealth, AutoReloginReportsEachPath) {
  const std::string found = "找到微信主窗口: 微信";
  const std::string handling = "检测到已退出微信，自动处理...";
  const struct {
    const char* name;
    Arrange setup;
    std::vector<std::string> lines;
    bool result;
    bool logged_in_after;
  } cases[] = {
      {"online", [](sim::SimClient&) {}, {found, "微信处于登录状态"}, true, true},
      {"logged out with the enter button",
       [](sim::SimClient& c) { c.logout(true, true); },
       {found, handling, "已点击“确定”按钮", "已点击“进入微信”按钮，等待登录"},
       true,
       true},
      {"logged out without the enter button",
       [](sim::SimClient& c) { c.logout(false, true); },
       {found, handling, "已点击“确定”按钮", "未找到“进入微信”按钮，请手动登录"},
       false,
       false},
      {"logged out without a confirmation button",
       [](sim::SimClient& c) {
         c.logout();
         c.fail_on_call("search:Button:确定", 1);
       },
       {found, handling, "未找到“确定”按钮"},
       false,
       false},
      {"activation fails",
       [](sim::SimClient& c) { c.fail_on_call("SetTopmost", 1); },
       {found, "窗口激活/置顶异常： SetTopmost: access is denied", "微信处于登录状态"},
       true,
       true},
      {"pressing the confirmation fails",
       [](sim::SimClient& c) {
         c.logout();
         c.fail_on_call("search:Button:确定", 2);
       },
       {found, handling, "auto_relogin_wechat 异常： control not found: Button(Name=确定)"},
       false,
       false},
      {"the first window named like the client",
       [](sim::SimClient& c) {
         c.set_desktop({{"微信读书", "ReaderWnd"}}, {});
       },
       {"找到微信主窗口: 微信读书", "微信处于登录状态"},
       true,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.setup(*client_);
    EXPECT_EQ(auto_relogin_wechat(), c.result);
    EXPECT_EQ(printed(), c.lines);
    EXPECT_EQ(client_->logged_in(), c.logged_in_after);
  }
}

TEST_F(ClientHealth, AutoReloginLeavesTheWindowInFrontAndTopmost) {
  client_->logout();
  ASSERT_TRUE(auto_relogin_wechat());
  std::vector<std::string> kinds;
  for (const auto& a : client_->actions()) kinds.push_back(a.kind + " " + a.target);
  EXPECT_THAT(kinds, ElementsAre("SetActive 微信", "SetTopmost 微信", "Click 确定", "Click 进入微信"));
}

}  // namespace
}  // namespace orvanta::robot
