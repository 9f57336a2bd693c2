// One pass of deal_msg over a group window on the simulated client.

#include "orvanta/robot/window_processing.hpp"

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/timing.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class DealMsg : public testing::GroupWorld {
 protected:
  void pass(const std::string& group = kGroup) { testing::run_awaitable(deal_msg(group)); }

  std::vector<std::string> contents() {
    std::vector<std::string> out;
    for (const auto& row : rows()) out.push_back(row.at("content").get<std::string>());
    return out;
  }

  std::string msg_id_of(const std::string& content) {
    for (const auto& row : rows())
      if (row.at("content") == content) return row.at("msg_id").get<std::string>();
    ADD_FAILURE() << "no row " << content;
    return {};
  }
};

TEST_F(DealMsg, TheFirstSightOfAListedGroupStoresItsHistoryInsteadOfReportingIt) {
  client->post_text(kGroup, "Alice", "早上好");
  client->post_own(kGroup, "大家好");
  client->post_text(kGroup, "Bob", "你好");
  config.groupName_list.set({kGroup});

  pass();
  EXPECT_THAT(events, IsEmpty());
  EXPECT_THAT(contents(), ElementsAre("早上好", "大家好", "你好"));
  for (const auto& row : rows()) {
    EXPECT_EQ(row.at("status"), "200");
    EXPECT_EQ(row.at("have_checked"), "true");
  }
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);

  // From now on what comes is new.
  client->post_text(kGroup, "Carol", "新来的消息");
  pass();
  EXPECT_THAT(events, ElementsAre("msg:新来的消息"));
}

TEST_F(DealMsg, AGroupShownWithATrailingBlankIsTheListedGroup) {
  client->set_shown_name(kGroup, std::string(kGroup) + " ");
  client->post_text(kGroup, "Alice", "早上好");
  config.groupName_list.set({kGroup});
  // The poll names the chat as the client shows it.
  const std::string shown = config.wx.get()->GetNextNewMessage(true).at("chat_name");
  ASSERT_EQ(shown, std::string(kGroup) + " ");

  pass(shown);
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);
  client->post_text(kGroup, "Bob", "新来的消息");
  pass(shown);
  EXPECT_THAT(events, ElementsAre("msg:新来的消息"));
  EXPECT_THAT(contents(), ElementsAre("早上好", "新来的消息"));
}

TEST_F(DealMsg, AGroupNeitherSynchronisedNorListedIsOnlyCheckedForRecalls) {
  client->post_text(kGroup, "Alice", "早上好");
  pass();
  EXPECT_THAT(rows(), IsEmpty());
  EXPECT_THAT(events, IsEmpty());
  EXPECT_FALSE(config.firstCheckGroup.get(kGroup).has_value());
  EXPECT_TRUE(logged("info 检查撤回新人加入"));
}

TEST_F(DealMsg, AnEmptyStoreTakesEveryRecordOfTheWindowOldestFirst) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  client->post_own(kGroup, "二");
  client->join(kGroup, "Dave", std::string("Alice"));
  client->pat(kGroup, "Bob拍了拍Alice");
  client->post_system(kGroup, "群公告已更新");
  client->post_text(kGroup, "Carol", "三");

  pass();
  EXPECT_THAT(events, ElementsAre("msg:一", "join:Dave@产品交流群", "msg:三"));
  EXPECT_THAT(contents(), ElementsAre("一", "二", "\"Alice\"邀请\"Dave\"加入了群聊", "三"));
  const Rows stored = rows();
  EXPECT_EQ(stored[1].at("type"), "self");
  EXPECT_EQ(stored[1].at("sender"), kAccount);
  EXPECT_EQ(stored[2].at("have_checked"), "true");
  EXPECT_TRUE(logged("info 检查到需要处理的信息，处理新消息"));
}

TEST_F(DealMsg, OneStoredRowMatchingTheNewestMessageMeansNothingIsNew) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  pass();
  log.str("");
  events.clear();

  pass();
  EXPECT_THAT(events, IsEmpty());
  EXPECT_THAT(contents(), ElementsAre("一"));
  EXPECT_FALSE(logged("info 检查到需要处理的信息，处理新消息"));
  EXPECT_TRUE(logged("info 检查新消息"));
}

TEST_F(DealMsg, PicturesOfOneSenderAreToldApartAndTheStoredFilesStay) {
  mark_synchronised();
  client->post_image(kGroup, "Alice", "picture one", "p1.jpg");
  pass();
  const auto files = client->files_dir();
  ASSERT_TRUE(std::filesystem::exists(files / "p1.jpg"));  // the record handed on points at it

  // Two more pictures of the same sender look exactly like the stored one.
  client->post_image(kGroup, "Bob", "picture two", "p2.jpg");
  client->post_image(kGroup, "Alice", "picture three", "p3.jpg");
  client->post_image(kGroup, "Alice", "picture four", "p4.jpg");
  pass();
  EXPECT_TRUE(std::filesystem::exists(files / "p1.jpg"));
  EXPECT_THAT(events, ElementsAre("msg:[图片]", "msg:[图片]", "msg:[图片]", "msg:[图片]"));
  const Rows stored = rows();
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[1].at("img_md5"), picture_key("picture two"));
  EXPECT_EQ(stored[3].at("img_md5"), picture_key("picture four"));
  EXPECT_EQ(stored[3].at("image_url"), (files / "p4.jpg").string());
  EXPECT_EQ(group_msgs.back().origin_pic_name, "p4.jpg");
}

TEST_F(DealMsg, ThreeRowsAlignAcrossARecallInsideTheStoredSequence) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  auto two = client->post_text(kGroup, "Bob", "二");
  client->post_text(kGroup, "Carol", "三");
  pass();
  const std::string two_id = msg_id_of("二");
  events.clear();

  client->recall(two);
  client->post_text(kGroup, "Alice", "四");
  pass();
  EXPECT_THAT(events, ElementsAre("msg:四", "recall:" + two_id + "@产品交流群"));
  EXPECT_THAT(contents(), ElementsAre("一", "二", "三", "四"));
  EXPECT_NE(rows()[1].at("recall_id"), "");
}

TEST_F(DealMsg, AQuotingReplyCarriesTheIdentifierOfTheRowItQuotes) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "价格多少");
  pass();
  client->post_quote(kGroup, "Bob", "一百元", "价格多少");
  client->post_quote(kGroup, "Carol", "什么价格", "从没存过的话");
  pass();
  const Rows stored = rows();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[1].at("type"), "other");
  EXPECT_EQ(stored[1].at("content"), "一百元");
  EXPECT_EQ(stored[1].at("quote_content"), "价格多少");
  EXPECT_EQ(stored[1].at("quote_id"), stored[0].at("msg_id"));
  EXPECT_EQ(group_msgs[1].reply, stored[0].at("msg_id").get<std::string>());
  // A quote of something never stored keeps its quoted text but no identifier.
  EXPECT_EQ(stored[2].at("quote_content"), "从没存过的话");
  EXPECT_EQ(stored[2].at("quote_id"), "");
  EXPECT_EQ(group_msgs[2].reply, "");
}

TEST_F(DealMsg, JoinsAndARecallAreRaisedOnceWithTheirArguments) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  pass();
  auto two = client->post_text(kGroup, "Bob", "二");
  client->join(kGroup, "Erin", std::string("Alice"));
  client->join(kGroup, "Frank");
  client->join_by_shared_qr(kGroup, "Gina", "Bob");
  client->invite(kGroup, "Carol", {"Hank", "Ivy"});
  pass();
  const std::string two_id = msg_id_of("二");
  client->recall(two);
  pass();
  pass();
  EXPECT_THAT(events,
              ElementsAre("msg:一", "msg:二", "join:Erin@产品交流群", "join:Frank@产品交流群", "join:Gina@产品交流群",
                          "join:Hank、Ivy@产品交流群", "recall:" + two_id + "@产品交流群"));
}

TEST_F(DealMsg, RowsOlderThanTwoMinutesAreMarkedCheckedARecalledOneIsNotReportedAgain) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  auto two = client->post_text(kGroup, "Bob", "二");
  pass();
  client->recall(two);
  pass();
  ASSERT_EQ(events.size(), 3u);

  pass();  // still young: nothing changes
  EXPECT_EQ(rows()[0].at("have_checked"), "false");
  timing::advance(125);
  pass();
  EXPECT_EQ(events.size(), 3u);
  for (const auto& row : rows()) EXPECT_EQ(row.at("have_checked"), "true") << row.dump();
}

TEST_F(DealMsg, RowsOlderThanTwoMinutesAreAgedEvenWhenTheWindowCannotShowThemAll) {
  // 35 unchecked rows, a window of 10 lines that two loads grow to 30.
  for (int i = 0; i < 35; ++i) {
    client->post_text(kGroup, "Alice", "第" + std::to_string(i) + "条");
    update_db_messages(MessageData{.group_name = kGroup,
                                   .type = "text",
                                   .content = "第" + std::to_string(i) + "条",
                                   .sender = "Alice",
                                   .msg_id = get_msg_id(),
                                   .have_checked = "false"});
  }
  timing::advance(125);
  pass();
  // At most three reads with two loads between them, and every old row aged.
  EXPECT_LE(action_kinds("GetAllMessage").size(), 3u);
  EXPECT_LE(action_kinds("LoadMoreMessage").size(), 2u);
  for (const auto& row : rows()) EXPECT_EQ(row.at("have_checked"), "true");
}

TEST_F(DealMsg, TheUnreadDividerIsNeverStored) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  pass();
  client->post_text(kGroup, "Bob", "二");
  client->post_text(kGroup, "Carol", "三");
  pass();  // the window shows the divider above 二: short alignment
  client->post_text(kGroup, "Bob", "四");
  pass();  // and above 四: alignment of three rows
  EXPECT_THAT(contents(), ElementsAre("一", "二", "三", "四"));
  EXPECT_THAT(events, ElementsAre("msg:一", "msg:二", "msg:三", "msg:四"));
}

TEST_F(DealMsg, OwnMessagesAreNeverReported) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  pass();
  client->post_own(kGroup, "我说的");
  client->post_text(kGroup, "Bob", "二");
  config.wx.get()->SendMsg("我发的", kGroup);
  pass();
  client->post_text(kGroup, "Carol", "三");
  pass();
  EXPECT_THAT(events, ElementsAre("msg:一", "msg:二", "msg:三"));
}

TEST_F(DealMsg, AFailedReadOfTheRecallCheckIsPrintedAndEndsThePassNormally) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  pass();
  // A pass with nothing new: its last read is the recall check's.
  const std::size_t before = action_kinds("GetAllMessage").size();
  pass();
  const int reads = static_cast<int>(action_kinds("GetAllMessage").size() - before);
  client->post_text(kGroup, "Bob", "二");
  client->fail_on_call("GetAllMessage", reads);
  pass();
  EXPECT_THAT(events, ElementsAre("msg:一", "msg:二"));
  EXPECT_THAT(stdout_text(), HasSubstr("获取消息失败: GetAllMessage: the client did not respond\n"));
}

TEST_F(DealMsg, AFailureOfTheClientOutsideTheRecallCheckReachesTheCaller) {
  mark_synchronised();
  client->post_text(kGroup, "Alice", "一");
  client->fail_on_call("GetAllMessage", 1);
  EXPECT_THROW(pass(), OSError);
  EXPECT_THAT(rows(), IsEmpty());
}

TEST_F(DealMsg, MalformedLinesNeverHideTheLinesAfterThem) {
  struct Case {
    int stored;  // rows stored before the malformed line
    std::optional<Json> info;
  } cases[] = {
      {0, std::nullopt},
      {0, Json::array({"text"})},
      {1, std::nullopt},
      {1, Json{{"type", "text"}, {"attr", "friend"}}},
      {1, Json{{"type", "text"}, {"content", "无发送者"}}},
      {3, std::nullopt},
      {3, Json::array({"text"})},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string group = "群" + std::to_string(++n);
    client->add_group(group, {{"Alice", std::nullopt}});
    mark_synchronised(group);
    for (int i = 0; i < c.stored; ++i) client->post_text(group, "Alice", group + "旧" + std::to_string(i));
    pass(group);
    events.clear();
    client->post_raw(group, testing::raw_line(c.info));
    client->post_text(group, "Alice", group + "新");
    EXPECT_NO_THROW(pass(group)) << n;
    ASSERT_FALSE(events.empty()) << n;
    EXPECT_EQ(events.back(), "msg:" + group + "新") << n;
  }
}

}  // namespace
}  // namespace orvanta::robot
