// The chat window as the system reads it: which lines it shows, in which
// order, how loading older history grows it, and the unread queue that
// decides which chat the system looks at next.

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

std::vector<std::string> contents(const wxauto::WindowMessages& messages) {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m->content().value_or("<none>"));
  return out;
}

std::vector<std::string> numbered(int first, int last) {
  std::vector<std::string> out;
  for (int i = first; i <= last; ++i) out.push_back("m" + std::to_string(i));
  return out;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions options;
    options.nickname = "me";
    options.window_size = 4;
    options.load_step = 3;
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", "A-remark"}, {"Bob", std::nullopt}});
    client->add_friend("Carol", "C-remark");
    client->add_group("Muted", {{"Dan", std::nullopt}}, /*muted=*/true);
    wx = client->driver()->MakeWeChat();
  }

  // Opens `chat` after reading it from another chat, so that no unread
  // divider stands in its window.
  void open_read(const std::string& chat) {
    wx->ChatWith(chat);
    wx->ChatWith(chat == "Carol" ? "G" : "Carol");
    wx->ChatWith(chat);
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(WindowTest, OpeningShowsTheNewestLinesOldestFirstAndLoadingGrowsTowardsTheStart) {
  for (int i = 1; i <= 8; ++i) client->post_text("G", "Alice", "m" + std::to_string(i));
  open_read("G");
  EXPECT_EQ(contents(wx->GetAllMessage()), numbered(5, 8));

  wx->LoadMoreMessage();
  EXPECT_EQ(contents(wx->GetAllMessage()), numbered(2, 8));

  // The history is one time separator and eight messages; loading stops at
  // its start and further loads change nothing.
  wx->LoadMoreMessage();
  auto all = contents(wx->GetAllMessage());
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(all.begin() + 1, all.end()), numbered(1, 8));
  wx->LoadMoreMessage();
  EXPECT_EQ(contents(wx->GetAllMessage()).size(), 9u);
}

TEST_F(WindowTest, OpeningAnotherChatShowsItsNewestLinesAgain) {
  for (int i = 1; i <= 8; ++i) client->post_text("G", "Alice", "m" + std::to_string(i));
  client->post_text("Carol", "Carol", "hello");
  wx->ChatWith("G");
  wx->LoadMoreMessage();
  wx->ChatWith("Carol");
  wx->ChatWith("G");
  EXPECT_EQ(contents(wx->GetAllMessage()), numbered(5, 8));
}

TEST_F(WindowTest, LinesArrivingInTheOpenChatAreAppendedAndShown) {
  for (int i = 1; i <= 4; ++i) client->post_text("G", "Alice", "m" + std::to_string(i));
  open_read("G");
  client->post_text("G", "Bob", "m5");
  client->post_text("G", "Bob", "m6");
  auto shown = contents(wx->GetAllMessage());
  ASSERT_EQ(shown.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(shown.end() - 2, shown.end()), numbered(5, 6));
}

TEST_F(WindowTest, MessagesCarryTypeAttrSenderAndRemarkAsTheSystemReadsThem) {
  client->post_text("G", "Alice", "hi");
  client->post_text("G", "Bob", "yo");
  client->post_image("G", "Bob", "PNGDATA");
  open_read("G");
  wx->SendMsg("mine", "G");
  auto messages = wx->GetAllMessage();
  ASSERT_EQ(messages.size(), 5u);

  auto separator = messages[0]->info().value();
  EXPECT_EQ(separator["type"], "base");
  EXPECT_NE(separator["attr"].get<std::string>().find("time"), std::string::npos);
  EXPECT_FALSE(messages[0]->sender());

  EXPECT_EQ(messages[1]->info().value()["attr"], "friend");
  EXPECT_EQ(messages[1]->sender(), "Alice");
  EXPECT_EQ(messages[1]->sender_remark(), "A-remark");
  EXPECT_FALSE(messages[2]->sender_remark());  // Bob has no remark

  auto image = messages[3]->info().value();
  EXPECT_EQ(image["type"], "image");
  EXPECT_EQ(image["content"], "[图片]");

  auto own = messages[4]->info().value();
  EXPECT_EQ(own["type"], "text");
  EXPECT_EQ(own["attr"], "self");
  EXPECT_EQ(messages[4]->sender(), "me");
}

TEST_F(WindowTest, ATimeSeparatorStandsBeforeALineFiveMinutesAfterThePrevious) {
  client->post_text("G", "Alice", "a");
  timing::advance(4 * 60);
  client->post_text("G", "Alice", "b");
  timing::advance(5 * 60);
  client->post_text("G", "Alice", "c");
  open_read("G");
  wx->LoadMoreMessage();
  std::vector<std::string> types;
  for (const auto& m : wx->GetAllMessage()) types.push_back(m->info().value()["attr"]);
  EXPECT_EQ(types, (std::vector<std::string>{"time", "friend", "friend", "time", "friend"}));
}

// The text of the line right below the unread divider; "" when the window
// shows no divider.
std::string below_divider(wxauto::WeChat& wx) {
  auto shown = contents(wx.GetAllMessage());
  for (std::size_t i = 0; i + 1 < shown.size(); ++i)
    if (shown[i] == "以下为新消息") return shown[i + 1];
  return "";
}

TEST_F(WindowTest, TheUnreadDividerStaysWhileTheChatStaysOpenAndGoesWhenItIsOpenedAgainFromAnotherChat) {
  client->post_text("G", "Alice", "old");
  open_read("G");
  wx->ChatWith("Carol");
  client->post_text("G", "Bob", "new1");
  client->post_text("G", "Bob", "new2");

  // The common path: the poll opens the chat, the system opens it again and
  // reads the window; the divider is still there, as a "base"/"system" line.
  EXPECT_EQ(wx->GetNextNewMessage(true)["chat_name"], "G");
  wx->ChatWith("G");
  EXPECT_EQ(below_divider(*wx), "new1");
  auto divider = wx->GetAllMessage()[2]->info().value();
  EXPECT_EQ(divider, (Json{{"type", "base"}, {"content", "以下为新消息"}, {"attr", "system"}}));

  // More lines while the chat is open: opening it again keeps the divider
  // where it was.
  client->post_text("G", "Bob", "new3");
  wx->ChatWith("G");
  EXPECT_EQ(below_divider(*wx), "new1");

  // Coming back from another chat after reading it: the divider is gone.
  wx->ChatWith("Carol");
  wx->ChatWith("G");
  EXPECT_EQ(below_divider(*wx), "");

  // Lines arriving in the open chat that has no divider: opening it again
  // puts one above the first of them.
  client->post_text("G", "Bob", "new4");
  EXPECT_EQ(below_divider(*wx), "");
  wx->ChatWith("G");
  EXPECT_EQ(below_divider(*wx), "new4");

  // Unread lines met when coming from another chat: the divider moves to
  // the first of them.
  wx->ChatWith("Carol");
  client->post_text("G", "Bob", "new5");
  wx->ChatWith("G");
  EXPECT_EQ(below_divider(*wx), "new5");
}

TEST_F(WindowTest, NextNewMessageGivesOneChatPerCallMostRecentFirstAndOpensIt) {
  client->post_text("G", "Alice", "group text");
  client->post_private("Carol", "private text");
  auto first = wx->GetNextNewMessage(true);
  EXPECT_EQ(first, (Json{{"chat_name", "Carol"}, {"chat_type", "friend"}, {"msg", "private text"}}));
  EXPECT_EQ(client->current_chat(), "Carol");
  EXPECT_FALSE(client->unread("Carol"));

  auto second = wx->GetNextNewMessage(true);
  EXPECT_EQ(second, (Json{{"chat_name", "G"}, {"chat_type", "group"}, {"msg", "group text"}}));
  EXPECT_EQ(client->current_chat(), "G");

  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
}

TEST_F(WindowTest, MutedChatsAreSkippedOnlyWhenFilteringMuted) {
  client->post_text("Muted", "Dan", "quiet");
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
  EXPECT_TRUE(client->unread("Muted"));
  EXPECT_EQ(wx->GetNextNewMessage(false)["chat_name"], "Muted");
}

TEST_F(WindowTest, OpeningAChatWithChatWithClearsItsUnreadMark) {
  client->post_text("G", "Alice", "x");
  wx->ChatWith("G");
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
}

TEST_F(WindowTest, UnknownChatsAndMembersOfAPrivateChatAreErrors) {
  EXPECT_THROW(wx->ChatWith("nobody"), LookupError);
  EXPECT_THROW(wx->SendMsg("x", "nobody"), LookupError);
  wx->ChatWith("Carol");
  EXPECT_THROW(wx->GetGroupMembers(), LookupError);
}

TEST_F(WindowTest, GroupMembersFollowJoinsAndMemberListChanges) {
  wx->ChatWith("G");
  EXPECT_EQ(wx->GetGroupMembers(), (std::vector<std::string>{"Alice", "Bob"}));
  client->join("G", "Eve");
  EXPECT_EQ(wx->GetGroupMembers(), (std::vector<std::string>{"Alice", "Bob", "Eve"}));
  client->set_members("G", {{"Zed", std::nullopt}});
  EXPECT_EQ(wx->GetGroupMembers(), (std::vector<std::string>{"Zed"}));
}

TEST_F(WindowTest, GroupNamesAreReadFromTheContactsPage) {
  EXPECT_THROW(wx->CollectAllGroupNames(), LookupError);
  wx->SwitchToContact();
  EXPECT_EQ(wx->CollectAllGroupNames(), (std::vector<std::string>{"G", "Muted"}));
  EXPECT_EQ(client->page(), "contact");
  wx->SwitchToChat();
  EXPECT_EQ(client->page(), "chat");
}

TEST_F(WindowTest, SendingOpensTheChatAndAppendsAnOwnLineWithTheMention) {
  wx->SendMsg("welcome", "G", "Alice");
  EXPECT_EQ(client->current_chat(), "G");
  auto messages = wx->GetAllMessage();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back()->content(), "@Alice\u2005welcome");
  EXPECT_EQ(messages.back()->info().value()["attr"], "self");
  auto sent = client->sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].chat, "G");
  EXPECT_EQ(sent[0].text, "welcome");
  EXPECT_EQ(sent[0].at, "Alice");
  EXPECT_FALSE(sent[0].quoted);
}

}  // namespace
}  // namespace orvanta::sim
