// What the system does to single window messages: quoting them, saving
// their pictures, and what a recall does to the window.

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions options;
    options.nickname = "me";
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
    client->add_group("H", {{"Alice", std::nullopt}});
    wx = client->driver()->MakeWeChat();
  }

  std::shared_ptr<wxauto::WindowMessage> last_message() {
    auto messages = wx->GetAllMessage();
    return messages.empty() ? nullptr : messages.back();
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(MessagesTest, ARecallReplacesTheMessageInPlaceWithANotice) {
  client->post_text("G", "Alice", "one");
  auto two = client->post_text("G", "Bob", "two");
  client->post_text("G", "Alice", "three");
  wx->ChatWith("G");
  wx->ChatWith("H");
  wx->ChatWith("G");
  auto before = wx->GetAllMessage();
  client->recall(two);
  auto after = wx->GetAllMessage();
  ASSERT_EQ(after.size(), before.size());
  auto notice = after[2]->info().value();
  EXPECT_EQ(notice["type"], "base");
  EXPECT_EQ(notice["content"], "\"Bob\" 撤回了一条消息");
  EXPECT_EQ(after[1]->content(), "one");
  EXPECT_EQ(after[3]->content(), "three");
  // The snapshot read before the recall still shows the message.
  EXPECT_EQ(before[2]->content(), "two");
}

TEST_F(MessagesTest, RecallingAnOwnMessageShowsTheOwnNotice) {
  auto mine = client->post_own("G", "oops");
  client->recall(mine);
  wx->ChatWith("G");
  EXPECT_EQ(last_message()->content(), "你撤回了一条消息");
  EXPECT_THROW(client->recall(mine), LookupError);  // already a notice
}

TEST_F(MessagesTest, AQuotedReplyShowsReplyLineFeedMarkerAndQuotedText) {
  client->post_text("G", "Alice", "question");
  wx->ChatWith("G");
  auto target = last_message();
  ASSERT_TRUE(target->has_quote());
  target->quote("answer");
  auto reply = last_message();
  EXPECT_EQ(reply->content(), "answer\n引用  的消息 : question");
  auto info = reply->info().value();
  EXPECT_EQ(info["type"], "other");
  EXPECT_EQ(info["attr"], "self");

  target->quote("again", "Alice");
  EXPECT_EQ(last_message()->content(), "@Alice\u2005again\n引用  的消息 : question");
  auto sent = client->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].quoted, "question");
  EXPECT_FALSE(sent[0].at);
  EXPECT_EQ(sent[1].at, "Alice");
}

TEST_F(MessagesTest, AMemberQuoteUsesTheSameFormAndIsAnOtherLine) {
  client->post_quote("G", "Bob", "me too", "question");
  wx->ChatWith("G");
  auto info = last_message()->info().value();
  EXPECT_EQ(info["type"], "other");
  EXPECT_EQ(info["attr"], "friend");
  EXPECT_EQ(info["content"], "me too\n引用  的消息 : question");
}

TEST_F(MessagesTest, QuotingFailsWhenTheMessageLeftTheWindowOrWasRecalled) {
  auto line = client->post_text("G", "Alice", "question");
  wx->ChatWith("G");
  auto target = last_message();
  wx->ChatWith("H");
  EXPECT_THROW(target->quote("late"), LookupError);
  wx->ChatWith("G");
  client->recall(line);
  EXPECT_THROW(target->quote("late"), LookupError);
  EXPECT_TRUE(client->sent().empty());
}

TEST_F(MessagesTest, SystemLinesCannotBeQuoted) {
  client->join("G", "Eve", "Alice");
  wx->ChatWith("G");
  auto notice = last_message();
  EXPECT_FALSE(notice->has_quote());
  EXPECT_EQ(notice->content(), "\"Alice\"邀请\"Eve\"加入了群聊");
  EXPECT_EQ(notice->info().value()["type"], "base");
}

TEST_F(MessagesTest, BothJoinFormsAndPatLinesReadAsTheSystemExpects) {
  client->join("G", "Eve");
  client->pat("G", "\"Alice\" 拍了拍 \"Bob\"");
  wx->ChatWith("G");
  auto messages = wx->GetAllMessage();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2]->content(), "\"Eve\"通过扫描二维码加入群聊");
  auto pat = messages.back()->info().value();
  EXPECT_EQ(pat["type"], "other");
  EXPECT_NE(pat["attr"].get<std::string>().find("base"), std::string::npos);
}

TEST_F(MessagesTest, DownloadWritesThePicturesRealBytes) {
  std::string bytes("\x89PNG\r\n\x1a\n\0\x01\x02", 11);
  client->post_image("G", "Alice", bytes, "cat.png");
  wx->ChatWith("G");
  auto picture = last_message();
  auto saved = picture->download();
  ASSERT_TRUE(saved.path);
  EXPECT_EQ(saved.file_name, "cat.png");
  EXPECT_EQ(read_file(*saved.path), bytes);

  // A deleted file is written again by the next download.
  std::filesystem::remove(*saved.path);
  EXPECT_EQ(read_file(*picture->download().path), bytes);
}

TEST_F(MessagesTest, DownloadOfATextIsAnError) {
  client->post_text("G", "Alice", "words");
  wx->ChatWith("G");
  EXPECT_THROW(last_message()->download(), ValueError);
}

TEST_F(MessagesTest, ForceMessageXbiasIsRecorded) {
  EXPECT_FALSE(client->force_message_xbias());
  client->driver()->Param().FORCE_MESSAGE_XBIAS = true;
  EXPECT_TRUE(client->force_message_xbias());
}

}  // namespace
}  // namespace orvanta::sim
