// Which entries of the open chat's message list are on screen, and what a
// click on an entry scrolled out of sight does.

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;
using Texts = std::vector<std::string>;

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions options;
    options.window_size = 4;
    options.load_step = 4;
    options.screen_size = 3;
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}});
    client->add_friend("Carol");
    wx = client->driver()->MakeWeChat();
    uia = &client->driver()->Uia();
  }

  // Seven lines: a time separator and "m1" to "m6", read once so that
  // opening the chat shows no unread divider.
  void post_history() {
    for (int i = 1; i <= 6; ++i) client->post_text("G", "Alice", "m" + std::to_string(i));
    wx->ChatWith("G");
    wx->ChatWith("Carol");
  }

  // The message button of the list entry named `text`.
  std::shared_ptr<uia::Control> button(const std::string& text) {
    auto list = uia->WindowControl(Search{.Name = "微信", .searchDepth = 1})->ListControl(Search{.Name = "消息"});
    for (const auto& item : list->GetChildren())
      if (item->Name() == text)
        return item->PaneControl(Search{.foundIndex = 1})
            ->PaneControl(Search{.foundIndex = 1})
            ->ButtonControl(Search{.foundIndex = 1, .Timeout = 0});
    ADD_FAILURE() << "no entry " << text;
    return nullptr;
  }

  std::vector<std::string> action_kinds() const {
    std::vector<std::string> kinds;
    for (const Action& a : client->actions()) kinds.push_back(a.kind + ":" + a.target);
    return kinds;
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
  uia::Automation* uia = nullptr;
};

TEST_F(ScreenTest, OpeningShowsTheNewestEntriesAndArrivalsKeepTheBottomInSight) {
  post_history();
  EXPECT_TRUE(client->on_screen().empty());  // another chat is open
  wx->ChatWith("G");
  EXPECT_EQ(client->on_screen(), (Texts{"m4", "m5", "m6"}));
  client->post_text("G", "Alice", "m7");
  EXPECT_EQ(client->on_screen(), (Texts{"m5", "m6", "m7"}));
  // Every loaded entry stays in the list, on screen or not.
  EXPECT_EQ(wx->GetAllMessage().size(), 5u);
}

TEST_F(ScreenTest, LoadingMoreShowsTheOldestLoadedEntriesUntilTheChatIsOpenedAgain) {
  post_history();
  wx->ChatWith("G");
  wx->LoadMoreMessage();
  // All seven lines are loaded: the separator comes first.
  ASSERT_EQ(wx->GetAllMessage().size(), 7u);
  const Texts top = client->on_screen();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ((Texts{top[1], top[2]}), (Texts{"m1", "m2"}));
  // A line arriving while the screen is away from the bottom does not move it.
  client->post_text("G", "Alice", "m7");
  EXPECT_EQ(client->on_screen(), top);
  // Opening the open chat again goes back to the bottom (the unread divider
  // now above "m7" counts as an entry); loading that brings nothing more
  // goes to the top.
  wx->ChatWith("G");
  EXPECT_EQ(client->on_screen(), (Texts{"m6", "以下为新消息", "m7"}));
  wx->LoadMoreMessage();
  EXPECT_EQ(client->on_screen(), top);
}

TEST_F(ScreenTest, ClicksOnAnEntryOffScreenDoNothingAndAreRecorded) {
  client->post_image("G", "Alice", "picture bytes", "p.jpg");
  for (int i = 1; i <= 3; ++i) client->post_text("G", "Alice", "m" + std::to_string(i));
  wx->ChatWith("G");
  auto picture = button("[图片]");
  ASSERT_TRUE(picture->Exists(0, 0));  // off screen, yet in the list
  picture->Click();
  picture->RightClick();
  EXPECT_FALSE(client->image_viewer_open());
  EXPECT_FALSE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(0, 0));
  EXPECT_EQ(action_kinds(), (Texts{"ChatWith:G", "Click off screen:[图片]", "RightClick off screen:[图片]"}));

  // Scrolled back into sight, the same entry answers.
  wx->LoadMoreMessage();
  picture = button("[图片]");
  picture->Click();
  EXPECT_TRUE(client->image_viewer_open());
  picture->RightClick();
  EXPECT_TRUE(uia->MenuItemControl(Search{.Name = "复制"})->Exists(0, 0));
}

}  // namespace
}  // namespace orvanta::sim
