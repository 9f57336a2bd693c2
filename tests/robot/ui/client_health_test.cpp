#include "orvanta/robot/client_health.hpp"

#include <filesystem>
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
using Lines = std::vector<std::string>;

// How the client stands before a check: logged out (with which buttons after
// the confirmation) or not, and a fault switch armed for the n-th call.
struct Stage {
  bool not_running = false;
  bool logged_out = false;
  bool enter_button = true;
  bool login_button = true;
  const char* fault = nullptr;
  int nth = 1;
};

const sim::DesktopWindow kDeepDecoy{"安装程序", "SetupWnd", {"确定"}, 7};

class ClientHealth : public testing::SimClientTest {
 protected:
  // Decoys: another program's "确定" before the client's window, deeper than
  // the confirmation search looks, and one after it, near the top, which a
  // search too shallow for the client's own button would reach.
  sim::SimOptions options() override {
    sim::SimOptions o;
    o.windows_before = {kDeepDecoy};
    o.windows_after = {{"记事本", "Notepad", {"确定"}, 1}};
    return o;
  }

  // The confirmation is searched on the whole desktop to depth 6, so without
  // the client's own button the shallow decoy would be pressed; a desktop
  // without the client keeps only the deep one.
  void drop_shallow_decoy() { client_->set_desktop({kDeepDecoy}, {}); }

  void arrange(const Stage& s) {
    if (s.not_running) {
      client_->quit_client();
      drop_shallow_decoy();
    }
    if (s.logged_out) client_->logout(s.enter_button, s.login_button);
    if (s.fault) client_->fail_on_call(s.fault, s.nth);
  }

  bool clicked_a_decoy() const {
    for (const auto& a : client_->actions())
      if (a.target.find('/') != std::string::npos) return true;
    return false;
  }
};

TEST_F(ClientHealth, RunInRootReturnsWhenElevatedAndRestartsElevatedOtherwise) {
  const std::vector<std::string> args = {"--scenario", R"(C:\My Files\a b.json)", R"(say "hi")", "", R"(dir\)"};
  const struct {
    std::optional<long> uid;
    bool admin;
    std::intptr_t execute_result;
    std::optional<int> exit;  // nothing: run_in_root returned
    Lines lines;
  } cases[] = {
      {0, false, 42, std::nullopt, {}},
      {std::nullopt, true, 42, std::nullopt, {}},
      {1000, true, 42, 0, {}},
      {std::nullopt, false, 42, 0, {}},
      {1000, false, 5, 1, {"以管理员身份重新启动失败，ShellExecuteW 返回 5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.uid.value_or(-1) << " " << c.admin << " " << c.execute_result);
    TearDown();
    SetUp();
    auto shell = client_->shell();
    shell->set_uid(c.uid);
    shell->set_admin(c.admin);
    shell->set_execute_result(c.execute_result);
    shell->set_command_line(R"(C:\Program Files\orvanta.exe)", args);
    std::optional<int> exited;
    try {
      run_in_root();
    } catch (const sim::ProcessExit& e) {
      exited = e.status();
    }
    EXPECT_EQ(exited, c.exit);
    EXPECT_EQ(printed(), c.lines);
    ASSERT_EQ(shell->requests().size(), c.exit ? 1u : 0u);
    if (!c.exit) continue;
    const sim::ShellRequest r = shell->requests()[0];
    EXPECT_EQ(r.hwnd, 0u);
    EXPECT_EQ(r.operation, "runas");
    EXPECT_EQ(r.file, R"(C:\Program Files\orvanta.exe)");
    EXPECT_EQ(r.parameters, R"(--scenario "C:\My Files\a b.json" "say \"hi\"" "" dir\)");
    EXPECT_EQ(r.directory, std::filesystem::current_path().string());
    EXPECT_EQ(r.show, 1);
  }
}

TEST_F(ClientHealth, IsOnlineReportsEachStateAndIsFalseWhileOnline) {
  const struct {
    Stage stage;
    Lines lines;
    bool result;
    bool offline;  // config.offline_msg set
    bool logged_in_after;
  } cases[] = {
      {{}, {"在线"}, false, false, true},
      {{.logged_out = true}, {"没有在线"}, true, true, true},
      {{.logged_out = true, .login_button = false}, {"没有在线"}, false, true, false},
      {{.logged_out = true, .fault = "search:Button:确定"}, {"没有在线", "未找到“确定”按钮"}, false, true, false},
      {{.logged_out = true, .fault = "search:Button:确定", .nth = 2},
       {"没有在线", "isOnline 检查异常： control not found: Button(Name=确定)"},
       false,
       true,
       false},
      {{.not_running = true}, {"没有在线", "未找到“确定”按钮"}, false, true, false},
      {{.fault = "FindWindow"},
       {"isOnline 检查异常： FindWindow: the window list could not be read"},
       false,
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    TearDown();
    SetUp();
    arrange(c.stage);
    EXPECT_EQ(isOnline(), c.result);
    EXPECT_EQ(printed(), c.lines);
    EXPECT_EQ(config.offline_msg.load(), c.offline ? std::optional<std::string>(kOfflineMessage) : std::nullopt);
    EXPECT_EQ(client_->logged_in(), c.logged_in_after);
    EXPECT_FALSE(clicked_a_decoy());
  }
}

TEST_F(ClientHealth, ClickConfirmButtonGivesNothingWhenOnlyTheConfirmationWasThere) {
  drop_shallow_decoy();
  client_->logout(true, false);
  EXPECT_EQ(click_confirm_button(), std::nullopt);
  EXPECT_EQ(click_confirm_button(), std::optional<bool>(false));
  EXPECT_THAT(printed(), ElementsAre("未找到“确定”按钮"));
}

TEST_F(ClientHealth, AutoReloginReportsEachPath) {
  const std::string found = "找到微信主窗口: 微信", handling = "检测到已退出微信，自动处理...",
                    confirmed = "已点击“确定”按钮";
  const struct {
    Stage stage;
    Lines lines;
    bool result;
    bool logged_in_after;
  } cases[] = {
      {{}, {found, "微信处于登录状态"}, true, true},
      {{.logged_out = true}, {found, handling, confirmed, "已点击“进入微信”按钮，等待登录"}, true, true},
      {{.logged_out = true, .enter_button = false},
       {found, handling, confirmed, "未找到“进入微信”按钮，请手动登录"},
       false,
       false},
      {{.logged_out = true, .fault = "search:Button:确定"}, {found, handling, "未找到“确定”按钮"}, false, false},
      {{.fault = "SetTopmost"},
       {found, "窗口激活/置顶异常： SetTopmost: access is denied", "微信处于登录状态"},
       true,
       true},
      {{.not_running = true}, {"未找到微信主窗口"}, false, false},
      {{.logged_out = true, .fault = "search:Button:确定", .nth = 2},
       {found, handling, "auto_relogin_wechat 异常： control not found: Button(Name=确定)"},
       false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    TearDown();
    SetUp();
    arrange(c.stage);
    EXPECT_EQ(auto_relogin_wechat(), c.result);
    EXPECT_EQ(printed(), c.lines);
    EXPECT_EQ(client_->logged_in(), c.logged_in_after);
    EXPECT_FALSE(clicked_a_decoy());
    if (c.stage.not_running) continue;
    // The window is brought forward first and stays topmost.
    auto actions = client_->actions();
    ASSERT_GE(actions.size(), 1u);
    EXPECT_EQ(actions[0].kind + " " + actions[0].target, "SetActive 微信");
    if (!c.stage.fault || std::string(c.stage.fault) != "SetTopmost") {
      ASSERT_GE(actions.size(), 2u);
      EXPECT_EQ(actions[1].kind + " " + actions[1].target, "SetTopmost 微信");
    }
  }
}

// Another program named like the client ("微信读书") before the client's
// window is passed over; with the client not running nothing is taken. Of
// two windows of the client's classes the first is taken, main or login.
TEST_F(ClientHealth, AutoReloginTakesOnlyAWindowOfTheClientsClasses) {
  const sim::DesktopWindow reader{"微信读书", "ReaderWnd", {"确定"}, 1};
  client_->set_desktop({reader}, {});
  EXPECT_TRUE(auto_relogin_wechat());
  EXPECT_THAT(printed(), ElementsAre("找到微信主窗口: 微信", "微信处于登录状态"));
  EXPECT_EQ(client_->actions()[0].kind + " " + client_->actions()[0].target, "SetActive 微信");

  TearDown();
  SetUp();
  client_->quit_client();
  client_->set_desktop({reader}, {{"微信", "Notepad", {}, 1}});
  EXPECT_FALSE(auto_relogin_wechat());
  EXPECT_THAT(printed(), ElementsAre("未找到微信主窗口"));
  EXPECT_TRUE(client_->actions().empty());

  TearDown();
  SetUp();
  client_->logout(true, true);
  client_->set_desktop({reader, {"微信 (2)", "WeChatMainWndForPC", {}, 1}}, {});
  EXPECT_TRUE(auto_relogin_wechat());
  EXPECT_THAT(printed(), ElementsAre("找到微信主窗口: 微信 (2)", "微信处于登录状态"));
}

}  // namespace
}  // namespace orvanta::robot
