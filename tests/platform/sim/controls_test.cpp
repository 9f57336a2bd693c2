// The automation tree of the simulated desktop, searched and clicked the way
// the system's user-interface actions do it.

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ControlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions options;
    options.windows_before = {{"微信读书", "ReaderWnd"}, {"记事本", "Notepad"}};
    options.windows_after = {{"微信", "SomeOtherWnd"}};
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}});
    client->add_friend("Carol");
    wx = client->driver()->MakeWeChat();
    uia = &client->driver()->Uia();
  }

  std::shared_ptr<uia::Control> main_window() { return uia->WindowControl(Search{.Name = "微信", .searchDepth = 1}); }

  // The button of the first list entry whose name contains `text`.
  std::shared_ptr<uia::Control> message_button(const std::string& text) {
    auto list = main_window()->ListControl(Search{.Name = "消息"});
    for (const auto& item : list->GetChildren()) {
      if (item->Name().find(text) == std::string::npos) continue;
      return item->PaneControl(Search{.foundIndex = 1})
          ->PaneControl(Search{.foundIndex = 1})
          ->ButtonControl(Search{.foundIndex = 1});
    }
    return nullptr;
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
  uia::Automation* uia = nullptr;
};

TEST_F(ControlsTest, TheDesktopListsTopLevelWindowsInOrder) {
  std::vector<std::string> names;
  for (const auto& w : uia->GetRootControl()->GetChildren()) names.push_back(w->Name());
  EXPECT_EQ(names, (std::vector<std::string>{"微信读书", "记事本", "微信", "微信"}));
}

TEST_F(ControlsTest, TheMessageListNamesEntriesByTheirTextInWindowOrder) {
  client->post_text("G", "Alice", "first");
  client->post_image("G", "Alice", "bytes");
  wx->ChatWith("G");
  wx->ChatWith("Carol");
  wx->ChatWith("G");
  auto list = main_window()->ListControl(Search{.Name = "消息"});
  ASSERT_TRUE(list->Exists(0, 0));
  std::vector<std::string> names;
  for (const auto& item : list->GetChildren()) names.push_back(item->Name());
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[1], "first");
  EXPECT_EQ(names[2], "[图片]");
  EXPECT_TRUE(message_button("first")->Exists(0, 0));
}

TEST_F(ControlsTest, NoMessageListWithoutAnOpenChat) {
  EXPECT_FALSE(main_window()->ListControl(Search{.Name = "消息"})->Exists(0.5));
}

TEST_F(ControlsTest, SearchDepthLimitsHowFarBelowTheSearchLooks) {
  wx->ChatWith("G");
  // The message list sits below the main window's chat pane, not on the
  // desktop's first level.
  EXPECT_FALSE(uia->ListControl(Search{.Name = "消息", .searchDepth = 1})->Exists(0, 0));
  EXPECT_FALSE(uia->ListControl(Search{.Name = "消息", .searchDepth = 2})->Exists(0, 0));
  EXPECT_TRUE(uia->ListControl(Search{.Name = "消息", .searchDepth = 3})->Exists(0, 0));
  EXPECT_TRUE(uia->ListControl(Search{.Name = "消息"})->Exists(0, 0));
}

TEST_F(ControlsTest, FoundIndexTakesTheNthMatchInDepthFirstOrder) {
  auto first = uia->WindowControl(Search{.Name = "微信", .searchDepth = 1, .foundIndex = 1});
  auto second = uia->WindowControl(Search{.Name = "微信", .searchDepth = 1, .foundIndex = 2});
  auto third = uia->WindowControl(Search{.Name = "微信", .searchDepth = 1, .foundIndex = 3});
  // Only the client's window holds the navigation buttons.
  EXPECT_TRUE(first->ButtonControl(Search{.Name = "聊天"})->Exists(0, 0));
  EXPECT_TRUE(second->Exists(0, 0));
  EXPECT_FALSE(second->ButtonControl(Search{.Name = "聊天"})->Exists(0, 0));
  EXPECT_FALSE(third->Exists(0, 0));
}

TEST_F(ControlsTest, UsingAMissingControlWaitsForTheTimeoutThenRaisesLookupError) {
  auto missing = uia->ButtonControl(Search{.Name = "不存在", .Timeout = 3});
  double start = timing::time();
  EXPECT_THROW(missing->Click(), LookupError);
  EXPECT_GE(timing::time() - start, 3.0);

  auto at_once = uia->ButtonControl(Search{.Name = "不存在", .Timeout = 0});
  EXPECT_THROW(at_once->Name(), LookupError);
}

TEST_F(ControlsTest, ADelayedMenuIsFoundByALongerExistsOnly) {
  client->post_text("G", "Alice", "hello");
  wx->ChatWith("G");
  client->set_menu_delay(0.5);
  message_button("hello")->RightClick();
  EXPECT_FALSE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(0.2));
  message_button("hello")->RightClick();
  EXPECT_TRUE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(1));
}

TEST_F(ControlsTest, ASuppressedMenuNeverAppears) {
  client->post_text("G", "Alice", "hello");
  wx->ChatWith("G");
  client->suppress_menu(true);
  message_button("hello")->RightClick();
  EXPECT_FALSE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(2));
}

TEST_F(ControlsTest, CopyingAPicturePutsItsFileOnTheClipboard) {
  std::string bytes("\xff\xd8\xff\x00picture", 11);
  client->post_image("G", "Alice", bytes, "photo.jpg");
  wx->ChatWith("G");
  auto button = message_button("[图片]");
  button->Click();
  EXPECT_TRUE(client->driver()->MakeWeChatImage()->is_open());
  button->RightClick();
  auto copy = uia->MenuItemControl(Search{.Name = "复制"});
  ASSERT_TRUE(copy->Exists(0.5));
  copy->Click();
  EXPECT_FALSE(copy->Exists(0, 0));  // the menu closes

  auto clip = client->clipboard();
  clip->OpenClipboard();
  ASSERT_TRUE(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP));
  auto files = std::get<std::vector<std::string>>(clip->GetClipboardData(Clipboard::CF_HDROP));
  clip->CloseClipboard();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_file(files[0]), bytes);

  auto viewer = client->driver()->MakeWeChatImage();
  viewer->close();
  EXPECT_FALSE(*viewer);
}

TEST_F(ControlsTest, CopyingATextPutsTheTextOnTheClipboard) {
  client->post_text("G", "Alice", "words");
  wx->ChatWith("G");
  message_button("words")->RightClick();
  uia->MenuItemControl(Search{.Name = "复制"})->Click();
  auto clip = client->clipboard();
  clip->OpenClipboard();
  EXPECT_FALSE(clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP));
  EXPECT_EQ(std::get<std::string>(clip->GetClipboardData(Clipboard::CF_UNICODETEXT)), "words");
  clip->CloseClipboard();
}

// The clipboard's text, or "files" when it holds files.
std::string clipboard_content(SimClipboard& clip) {
  clip.OpenClipboard();
  std::string content = clip.IsClipboardFormatAvailable(Clipboard::CF_HDROP)
                            ? "files"
                            : std::get<std::string>(clip.GetClipboardData(Clipboard::CF_UNICODETEXT));
  clip.CloseClipboard();
  return content;
}

TEST_F(ControlsTest, ACopyLandsAfterTheCopyDelayAndTheOldContentStaysUntilThen) {
  client->post_image("G", "Alice", "picture bytes", "photo.jpg");
  client->post_text("G", "Alice", "words");
  wx->ChatWith("G");
  auto clip = client->clipboard();
  clip->set_text("old");
  client->set_copy_delay(1.0);
  message_button("[图片]")->RightClick();
  uia->MenuItemControl(Search{.Name = "复制"})->Click();
  EXPECT_EQ(clipboard_content(*clip), "old");
  timing::advance(0.5);
  EXPECT_EQ(clipboard_content(*clip), "old");
  // A second copy made meanwhile lands after the first.
  message_button("words")->RightClick();
  uia->MenuItemControl(Search{.Name = "复制"})->Click();
  timing::advance(0.5);
  EXPECT_EQ(clipboard_content(*clip), "files");
  timing::advance(0.5);
  EXPECT_EQ(clipboard_content(*clip), "words");

  // The scenario's clipboard event sets the delay without holding the
  // clipboard; without the delay a copy lands at once.
  client->load_scenario(Json::parse(R"({"timeline": [{"event": "clipboard", "copy_delay": 0}]})"));
  message_button("[图片]")->RightClick();
  uia->MenuItemControl(Search{.Name = "复制"})->Click();
  EXPECT_EQ(clipboard_content(*clip), "files");
}

TEST_F(ControlsTest, AnOpenViewerTakesTheClicksAimedAtTheMainWindow) {
  client->post_image("G", "Alice", "picture bytes", "photo.jpg");
  wx->ChatWith("G");
  client->set_viewer_takes_clicks(true);
  auto picture = message_button("[图片]");
  picture->Click();
  ASSERT_TRUE(client->image_viewer_open());
  picture->RightClick();
  main_window()->ButtonControl(Search{.Name = "通讯录"})->Click();
  EXPECT_FALSE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(0, 0));
  EXPECT_EQ(client->page(), "chat");
  // Window operations and the driver's calls are not clicks: they still act.
  EXPECT_TRUE(main_window()->SetActive());
  auto actions = client->actions();
  ASSERT_EQ(actions.size(), 5u);
  EXPECT_EQ(actions[2].kind, "RightClick taken by viewer");
  EXPECT_EQ(actions[2].target, "[图片]");
  EXPECT_EQ(actions[3].kind, "Click taken by viewer");
  EXPECT_EQ(actions[3].target, "通讯录");

  // Closed, the viewer takes nothing: the system's capture order (click,
  // right-click, "复制", close) works only without the guess.
  client->driver()->MakeWeChatImage()->close();
  picture->RightClick();
  EXPECT_TRUE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(0, 0));
}

TEST_F(ControlsTest, LocatingTheQuotedMessageShowsTheBackButtonUntilItIsClicked) {
  client->post_text("G", "Alice", "plain");
  client->post_quote("G", "Alice", "reply", "plain");
  wx->ChatWith("G");
  message_button("plain")->RightClick();
  EXPECT_FALSE(main_window()->MenuItemControl(Search{.Name = "定位到原文位置"})->Exists(0.5));

  message_button("reply")->RightClick();
  auto locate = main_window()->MenuItemControl(Search{.Name = "定位到原文位置", .foundIndex = 1});
  ASSERT_TRUE(locate->Exists(0.5));
  locate->Click();
  auto back = main_window()->ButtonControl(Search{.Name = "回到引用位置", .foundIndex = 1});
  ASSERT_TRUE(back->Exists(1));
  back->Click();
  EXPECT_FALSE(back->Exists(0, 0));
}

TEST_F(ControlsTest, LogoutReplacesTheMainWindowWithTheNoticeAndItsButtons) {
  auto driver = client->driver();
  EXPECT_NE(driver->FindWindow("WeChatMainWndForPC"), 0u);
  client->logout();
  EXPECT_EQ(driver->FindWindow("WeChatMainWndForPC"), 0u);
  EXPECT_THROW(wx->GetNextNewMessage(true), LookupError);

  auto window = uia->WindowControl(Search{.Name = "微信", .searchDepth = 1});
  EXPECT_TRUE(window->TextControl(Search{.Name = "你已退出微信"})->Exists(0, 0));
  EXPECT_FALSE(window->ButtonControl(Search{.Name = "进入微信"})->Exists(0, 0));
  window->ButtonControl(Search{.Name = "确定"})->Click();
  EXPECT_FALSE(window->ButtonControl(Search{.Name = "确定"})->Exists(0, 0));
  EXPECT_TRUE(uia->ButtonControl(Search{.Name = "登录", .searchDepth = 12, .Timeout = 0})->Exists(0));
  window->ButtonControl(Search{.Name = "进入微信"})->Click();
  EXPECT_TRUE(client->logged_in());
  EXPECT_NE(driver->FindWindow("WeChatMainWndForPC"), 0u);
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
}

TEST_F(ControlsTest, TheLoginButtonsCanBeLeftOut) {
  client->logout(/*enter_button=*/false, /*login_button=*/false);
  uia->ButtonControl(Search{.Name = "确定", .searchDepth = 6})->Click();
  EXPECT_FALSE(uia->ButtonControl(Search{.Name = "进入微信"})->Exists(0, 0));
  EXPECT_FALSE(uia->ButtonControl(Search{.Name = "登录"})->Exists(0, 0));
  EXPECT_FALSE(client->logged_in());
}

TEST_F(ControlsTest, ClicksAndWindowOperationsAreRecorded) {
  auto window = main_window();
  EXPECT_TRUE(window->SetActive());
  EXPECT_TRUE(window->SetTopmost(true));
  window->ButtonControl(Search{.Name = "通讯录"})->Click();
  EXPECT_EQ(client->page(), "contact");
  auto actions = client->actions();
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[0].kind, "SetActive");
  EXPECT_EQ(actions[1].kind, "SetTopmost");
  EXPECT_EQ(actions[2].kind, "Click");
  EXPECT_EQ(actions[2].target, "通讯录");
}

}  // namespace
}  // namespace orvanta::sim
