#include "orvanta/robot/alignment.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A window message given by its info alone.
class InfoMessage final : public wxauto::WindowMessage {
 public:
  explicit InfoMessage(std::optional<Json> info) : info_(std::move(info)) {}
  std::optional<std::string> sender() const override { return std::nullopt; }
  std::optional<std::string> sender_remark() const override { return std::nullopt; }
  std::optional<std::string> content() const override { return std::nullopt; }
  std::optional<Json> info() const override { return info_; }
  bool has_quote() const override { return false; }
  void quote(const std::string&, const std::optional<std::string>&) override {}
  wxauto::Download download() override { return {}; }

 private:
  std::optional<Json> info_;
};

std::shared_ptr<wxauto::WindowMessage> w(const std::string& content, const std::string& type = "text") {
  return std::make_shared<InfoMessage>(Json{{"type", type}, {"content", content}, {"attr", "friend"}});
}
Row r(const std::string& content, const std::string& type = "text") {
  return Json{{"type", type}, {"content", content}};
}

std::vector<std::string> texts(const Slice& s) {
  std::vector<std::string> out;
  for (const auto& m : s.newer) out.push_back(m->info()->at("content").get<std::string>());
  return out;
}

TEST(MatchAndSlice, FindsTheLatestOccurrenceAndGivesWhatFollows) {
  const wxauto::WindowMessages abcde = {w("A"), w("B"), w("C"), w("D"), w("E")};
  EXPECT_EQ(match_and_slice(abcde, {r("C"), r("D"), r("E")}).kind, Slice::Kind::kAtEnd);
  EXPECT_THAT(texts(match_and_slice(abcde, {r("B"), r("C"), r("D")})), ElementsAre("E"));
  const wxauto::WindowMessages twice = {w("C"), w("D"), w("E"), w("C"), w("D"), w("E"), w("F")};
  EXPECT_THAT(texts(match_and_slice(twice, {r("C"), r("D"), r("E")})), ElementsAre("F"));
  EXPECT_EQ(match_and_slice(abcde, {r("X"), r("D"), r("E")}).kind, Slice::Kind::kNotFound);
  // A window shorter than the rows tries no position.
  EXPECT_EQ(match_and_slice({w("A"), w("B")}, {r("A"), r("B"), r("C")}).kind, Slice::Kind::kNotFound);
}

Row r_by(const std::string& content, const std::string& sender) {
  Row row = r(content);
  row["sender"] = sender;
  return row;
}

TEST(MatchAndSlice, RecallNoticesQuotesAndTypes) {
  // A recall notice stands for a stored row of the sender it names, and for
  // no other row.
  const wxauto::WindowMessages recalled = {w("A"), w("\"Bob\" 撤回了一条消息", "base"), w("C"), w("D")};
  EXPECT_THAT(texts(match_and_slice(recalled, {r("A"), r_by("B", "Bob"), r("C")})), ElementsAre("D"));
  EXPECT_EQ(match_and_slice(recalled, {r("A"), r_by("B", "Carol"), r("C")}).kind, Slice::Kind::kNotFound);
  // The account's own recall never stands for a member's row.
  const wxauto::WindowMessages own = {w("A"), w("你撤回了一条消息", "base"), w("C")};
  EXPECT_EQ(match_and_slice(own, {r("A"), r(""), r("C")}).kind, Slice::Kind::kNotFound);
  // A member's text equal to the quote marker is a text like any other.
  const wxauto::WindowMessages marker = {w("A"), w("引用  的消息"), w("C")};
  EXPECT_THAT(texts(match_and_slice(marker, {r("A"), r("引用  的消息")})), ElementsAre("C"));
  // A reply is compared by its own text, up to the marker.
  const wxauto::WindowMessages replied = {w("A"), w("好的 \n引用  的消息 : A", "other"), w("C")};
  EXPECT_THAT(texts(match_and_slice(replied, {r("A"), r("好的", "other")})), ElementsAre("C"));
  // The same text of another type is another message.
  EXPECT_EQ(match_and_slice(replied, {r("A"), r("好的", "text")}).kind, Slice::Kind::kNotFound);
}

TEST(MatchAndSlice, AMalformedElementIsAnError) {
  EXPECT_THROW(match_and_slice({std::make_shared<InfoMessage>(Json{{"type", "text"}})}, {r("A")}), KeyError);
  EXPECT_THROW(match_and_slice({std::make_shared<InfoMessage>(std::nullopt)}, {r("A")}), AttributeError);
  EXPECT_THROW(match_and_slice({w("A")}, {Json{{"content", "A"}}}), KeyError);
}

class CheckMoreMessage : public testing::GroupWorld {
 protected:
  // The rows as get_latest_messages gives them, newest first.
  Rows stored_newest_first(std::vector<std::string> contents) {
    for (const auto& c : contents)
      update_db_messages(MessageData{.group_name = kGroup,
                                     .type = "text",
                                     .content = c,
                                     .sender = "Alice",
                                     .msg_id = get_msg_id(),
                                     .have_checked = "false"});
    return store->get_latest_messages(3, LatestQuery{.group_name = kGroup});
  }
};

TEST_F(CheckMoreMessage, LoadsOlderHistoryUntilTheRowsAppear) {
  // 25 lines: the window shows the newest 10, each load 10 more.
  for (int i = 0; i < 25; ++i) client->post_text(kGroup, "Alice", std::to_string(i));
  config.wx.get()->ChatWith(kGroup);
  const auto newer = check_more_message(stored_newest_first({"6", "7", "8"}));
  ASSERT_TRUE(newer.has_value());
  ASSERT_EQ(newer->size(), 16u);
  EXPECT_EQ(newer->front()->content(), "9");
  EXPECT_EQ(action_kinds("LoadMoreMessage").size(), 1u);
  EXPECT_TRUE(logged("info 比对信息"));
}

TEST_F(CheckMoreMessage, LoadsUntilTheRowsAppearOrTheHistoryStarts) {
  for (int i = 0; i < 40; ++i) client->post_text(kGroup, "Alice", std::to_string(i));
  config.wx.get()->ChatWith(kGroup);
  // The rows stand at the very start of the history: three loads show them,
  // and nothing after them is lost.
  const auto newer = check_more_message(stored_newest_first({"0", "1", "2"}));
  ASSERT_TRUE(newer.has_value());
  ASSERT_EQ(newer->size(), 37u);
  EXPECT_EQ(newer->front()->content(), "3");
  EXPECT_EQ(action_kinds("LoadMoreMessage").size(), 3u);

  // Rows the chat does not show: loads go on until two add nothing.
  const std::size_t loads_before = action_kinds("LoadMoreMessage").size();
  const auto none = check_more_message(stored_newest_first({"x", "y", "z"}));
  ASSERT_TRUE(none.has_value());
  EXPECT_THAT(*none, IsEmpty());
  EXPECT_LE(action_kinds("LoadMoreMessage").size() - loads_before, 3u);
}

TEST_F(CheckMoreMessage, LeavesOwnMessagesOutAndGivesNothingOnAFailedRead) {
  client->post_text(kGroup, "Alice", "A");
  client->post_own(kGroup, "我的");
  client->post_text(kGroup, "Alice", "B");
  client->post_text(kGroup, "Alice", "C");
  client->post_text(kGroup, "Alice", "D");
  config.wx.get()->ChatWith(kGroup);
  const Rows rows = stored_newest_first({"A", "B", "C"});
  const auto newer = check_more_message(rows);
  ASSERT_TRUE(newer.has_value());
  ASSERT_EQ(newer->size(), 1u);
  EXPECT_EQ(newer->front()->content(), "D");

  client->fail_on_call("GetAllMessage", 1);
  EXPECT_FALSE(check_more_message(rows).has_value());
  EXPECT_TRUE(logged("info 获取消息失败: GetAllMessage: the client did not respond"));
}

TEST_F(CheckMoreMessage, ASystemLineThatIsNeverStoredDoesNotHideTheStoredRows) {
  client->post_text(kGroup, "Alice", "A");
  client->post_text(kGroup, "Alice", "B");
  client->post_system(kGroup, "群名称已修改");
  client->post_text(kGroup, "Alice", "C");
  client->post_text(kGroup, "Alice", "D");
  config.wx.get()->ChatWith(kGroup);
  const auto newer = check_more_message(stored_newest_first({"A", "B", "C"}));
  ASSERT_TRUE(newer.has_value());
  ASSERT_EQ(newer->size(), 1u);
  EXPECT_EQ(newer->front()->content(), "D");
  EXPECT_THAT(action_kinds("LoadMoreMessage"), IsEmpty());
}

}  // namespace
}  // namespace orvanta::robot
