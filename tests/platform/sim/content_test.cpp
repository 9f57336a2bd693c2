// Content as people write it and as the real client shows it: mentions,
// time separators, special lines, join forms, shown names; a recall that
// takes the unread mark with it; the contacts page's poll; one file per
// download.

#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions options;
    options.nickname = "群管助手";
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
    client->add_group("H", {{"Carol", std::nullopt}});
    wx = client->driver()->MakeWeChat();
  }

  Json newest_info() {
    auto messages = wx->GetAllMessage();
    return *messages.back()->info();
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(ContentTest, AMentionPutsU2005AfterTheName) {
  wx->SendMsg("看这里", "G", "Alice");
  wx->ChatWith("G");
  EXPECT_EQ(newest_info()["content"], "@Alice\u2005看这里");
  auto messages = wx->GetAllMessage();
  messages.back()->quote("好", "Bob");
  EXPECT_EQ(newest_info()["content"].get<std::string>().rfind("@Bob\u2005好\n", 0), 0u);
}

TEST_F(ContentTest, SpecialLinesHaveTheirMarkerTypeAndAttr) {
  const std::vector<std::tuple<std::string, std::string, std::string>> kinds = {{"sticker", "[动画表情]", "emotion"},
                                                                                {"file", "[文件] 报告.pdf", "file"},
                                                                                {"link", "[链接] 发布说明", "link"},
                                                                                {"voice", "[语音]", "voice"}};
  wx->ChatWith("H");
  for (const auto& [kind, content, type] : kinds) {
    std::string title = kind == "file" ? "报告.pdf" : kind == "link" ? "发布说明" : "";
    client->post_special("G", "Alice", kind, title);
    wx->ChatWith("G");
    Json info = newest_info();
    EXPECT_EQ(info["content"], content);
    EXPECT_EQ(info["type"], type);
    EXPECT_EQ(info["attr"], "friend");
    wx->ChatWith("H");
  }
  client->post_special("G", "", "sticker");
  wx->ChatWith("G");
  EXPECT_EQ(newest_info()["attr"], "self");
  EXPECT_FALSE(client->unread("G"));
  EXPECT_THROW(client->post_special("G", "Alice", "video"), ValueError);
}

TEST_F(ContentTest, JoinNoticesTakeTheAccountsOwnForms) {
  client->join("G", "Dave", std::string("群管助手"));
  wx->ChatWith("G");
  EXPECT_EQ(newest_info()["content"], "你邀请\"Dave\"加入了群聊");
  client->join("G", "群管助手", std::string("Alice"));
  EXPECT_EQ(newest_info()["content"], "\"Alice\"邀请你加入了群聊");
}

TEST_F(ContentTest, TimeSeparatorsShowYesterdayAWeekdayOrADateAsTimePasses) {
  client->post_own("G", "old");  // read: no unread divider above the separator
  wx->ChatWith("G");
  auto separator = [&] { return wx->GetAllMessage().front()->content().value_or(""); };
  const std::string today = separator();
  ASSERT_EQ(today.size(), 5u);  // HH:MM
  timing::advance(24 * 3600);
  EXPECT_EQ(separator(), "昨天 " + today);
  timing::advance(2 * 24 * 3600);
  const std::string weekday = separator();
  EXPECT_EQ(weekday.rfind("星期", 0), 0u) << weekday;
  EXPECT_EQ(weekday.substr(weekday.size() - 5), today);
  timing::advance(7 * 24 * 3600);
  const std::string date = separator();
  EXPECT_NE(date.find("年"), std::string::npos) << date;
  EXPECT_NE(date.find("月"), std::string::npos) << date;
  EXPECT_EQ(date.substr(date.size() - 5), today);
}

TEST_F(ContentTest, AShownNameWithATrailingBlankIsWhatThePollGives) {
  client->set_shown_name("G", "G ");
  client->post_text("G", "Alice", "hi");
  EXPECT_EQ(wx->GetNextNewMessage(true)["chat_name"], "G ");
  wx->SwitchToContact();
  EXPECT_EQ(wx->CollectAllGroupNames(), (std::vector<std::string>{"G", "H"}));
  wx->SwitchToChat();
  EXPECT_NO_THROW(wx->ChatWith("G "));
  EXPECT_EQ(client->current_chat(), "G");
}

TEST_F(ContentTest, RecallingTheOnlyUnreadLineClearsTheUnreadMark) {
  LineHandle only = client->post_text("G", "Alice", "oops");
  ASSERT_TRUE(client->unread("G"));
  client->recall(only);
  EXPECT_FALSE(client->unread("G"));
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());

  // With two unread lines, recalling one leaves the chat unread.
  LineHandle first = client->post_text("H", "Carol", "one");
  client->post_text("H", "Carol", "two");
  client->recall(first);
  EXPECT_TRUE(client->unread("H"));
}

TEST_F(ContentTest, ThePollOnTheContactsPageGivesNothing) {
  client->post_text("G", "Alice", "hi");
  wx->SwitchToContact();
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
  EXPECT_TRUE(client->unread("G"));
  EXPECT_FALSE(client->current_chat());
  wx->SwitchToChat();
  EXPECT_EQ(wx->GetNextNewMessage(true)["chat_name"], "G");
}

TEST_F(ContentTest, EveryDownloadWritesAFileOfItsOwn) {
  client->post_image("G", "Alice", "first picture", "same.jpg");
  client->post_image("G", "Bob", "second picture", "same.jpg");
  wx->ChatWith("G");
  auto messages = wx->GetAllMessage();
  std::set<std::string> paths;
  for (int round = 0; round < 2; ++round) {
    auto a = messages[messages.size() - 2]->download();
    auto b = messages.back()->download();
    ASSERT_TRUE(a.path && b.path);
    EXPECT_EQ(read_file(*a.path), "first picture");
    EXPECT_EQ(read_file(*b.path), "second picture");
    EXPECT_EQ(a.file_name, "same.jpg");
    paths.insert(*a.path);
    paths.insert(*b.path);
  }
  EXPECT_EQ(paths.size(), 4u);
  // The earlier files are still there, unchanged.
  for (const auto& p : paths) EXPECT_TRUE(std::filesystem::exists(p)) << p;
}

}  // namespace
}  // namespace orvanta::sim
