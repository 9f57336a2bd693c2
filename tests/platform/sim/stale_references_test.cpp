// Stale references: when the client rebuilds its message list, messages and
// controls taken from the old list fail at once with LookupError instead of
// finding their line again or waiting out their time limit.

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;

class StaleReferencesTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SimOptions options;
    options.stale_references = GetParam();
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}});
    client->add_group("H", {{"Bob", std::nullopt}});
    client->post_image("G", "Alice", "bytes", "p.jpg");
    client->post_text("G", "Alice", "hello");
    wx = client->driver()->MakeWeChat();
    wx->ChatWith("G");
  }

  std::shared_ptr<uia::Control> list() {
    auto& uia = client->driver()->Uia();
    return uia.WindowControl(Search{.Name = "微信", .searchDepth = 1})->ListControl(Search{.Name = "消息"});
  }

  // Whether the old message and the old list entry still work after
  // `rebuild`, checking that a stale one fails at once.
  void expect_after(const std::function<void()>& rebuild, bool still_valid) {
    auto messages = wx->GetAllMessage();
    auto picture = messages[messages.size() - 2];
    auto text = messages.back();
    auto found_list = list();
    auto items = found_list->GetChildren();
    auto item = items.back();
    ASSERT_EQ(item->Name(), "hello");
    rebuild();
    const double start = timing::time();
    if (still_valid) {
      EXPECT_TRUE(picture->download().path);
      EXPECT_NO_THROW(text->quote("ok"));
      EXPECT_EQ(item->Name(), "hello");
      EXPECT_NO_THROW(found_list->GetChildren());
    } else {
      EXPECT_THROW(picture->download(), LookupError);
      EXPECT_THROW(text->quote("ok"), LookupError);
      EXPECT_THROW(item->Name(), LookupError);
      EXPECT_FALSE(item->Exists(5, 0.5));
      EXPECT_THROW(found_list->GetChildren(), LookupError);
      // A fresh search finds the rebuilt list at once.
      EXPECT_EQ(list()->GetChildren().back()->Name(), "hello");
      // Not one of the failures waited for its time limit.
      EXPECT_LT(timing::time() - start, uia::kDefaultSearchTimeout / 2);
    }
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_P(StaleReferencesTest, OpeningTheOpenChatAgainKeepsReferences) {
  expect_after([&] { wx->ChatWith("G"); }, true);
}

TEST_P(StaleReferencesTest, ReopeningTheChatFromAnotherRebuildsTheList) {
  expect_after(
      [&] {
        wx->ChatWith("H");
        wx->ChatWith("G");
      },
      !GetParam());
}

TEST_P(StaleReferencesTest, ARelogInRebuildsTheList) {
  expect_after(
      [&] {
        client->logout();
        client->login();
        wx->ChatWith("G");
      },
      !GetParam());
}

TEST_P(StaleReferencesTest, ARestartOfTheClientRebuildsTheList) {
  expect_after(
      [&] {
        client->quit_client();
        client->start_client();
        client->login();
        wx->ChatWith("G");
      },
      !GetParam());
}

TEST_P(StaleReferencesTest, ThePollOpeningAnotherChatRebuildsTheList) {
  client->post_text("H", "Bob", "new");
  expect_after(
      [&] {
        EXPECT_EQ(wx->GetNextNewMessage(true)["chat_name"], "H");
        wx->ChatWith("G");
      },
      !GetParam());
}

INSTANTIATE_TEST_SUITE_P(OnAndOff, StaleReferencesTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Stale" : "Found"; });

}  // namespace
}  // namespace orvanta::sim
