#include "orvanta/robot/history_sync.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/robot/window_processing.hpp"
#include "orvanta/sim/group_list_server.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class HistorySync : public testing::GroupWorld {};

TEST_F(HistorySync, StoresTheWindowAsCheckedHistory) {
  client->post_text(kGroup, "Alice", "价格");
  client->post_text(kGroup, "Bob", "价格");
  client->post_own(kGroup, "我自己的");
  client->post_quote(kGroup, "Carol", "一百", "价格");
  client->post_quote(kGroup, "Carol", "什么", "不在窗口里的话");
  client->recall(client->post_text(kGroup, "Bob", "说错了"));
  client->post_image(kGroup, "Alice", "picture one", "p1.jpg");
  client->post_image(kGroup, "Bob", "picture two", "p2.jpg");
  // A picture that is neither a friend's nor the account's is not keyed.
  client->post_raw(kGroup, testing::raw_line(Json{{"type", "image"}, {"content", "[图片]"}, {"attr", "other"}}, "Bob",
                                             "picture three"));
  client->post_text(kGroup, "Alice", "最后");
  client->fail_on_call("download", 2, sim::FaultEffect::EmptyResult);

  getHistoricalNews(kGroup);
  const Rows stored = rows();
  std::vector<std::string> contents;
  for (const auto& row : stored) {
    contents.push_back(row.at("content"));
    EXPECT_EQ(row.at("have_checked"), "true");
    EXPECT_EQ(row.at("status"), "200");
  }
  // Own messages are stored apart as "self", as the window pass stores them;
  // Bob's picture, whose download failed, is left out.
  EXPECT_THAT(contents, ElementsAre("价格", "价格", "我自己的", "一百", "什么", "\"Bob\" 撤回了一条消息", "[图片]",
                                    "[图片]", "最后"));
  EXPECT_EQ(stored[2].at("type"), "self");
  EXPECT_EQ(stored[2].at("sender"), kAccount);
  EXPECT_EQ(stored[3].at("quote_id"), stored[0].at("msg_id"));  // the earlier of two equal texts
  EXPECT_EQ(stored[3].at("quote_content"), "价格");
  EXPECT_EQ(stored[4].at("quote_id"), "");
  EXPECT_EQ(stored[4].at("quote_content"), "不在窗口里的话");
  EXPECT_EQ(stored[5].at("type"), "text");
  EXPECT_NE(stored[5].at("recall_id"), "");
  EXPECT_EQ(stored[6].at("img_md5"), picture_key("picture one"));
  EXPECT_EQ(stored[7].at("img_md5"), "");
  EXPECT_THAT(action_kinds("download"), ElementsAre("p1.jpg", "p2.jpg"));
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);
  EXPECT_TRUE(logged("error 图片下载失败"));
  EXPECT_TRUE(logged("info 数据库中暂无群：产品交流群 消息记录,直接记录不需要操作"));
  EXPECT_TRUE(logged("info 已初始化所有群聊天消息"));
  EXPECT_THAT(events, IsEmpty());
}

TEST_F(HistorySync, AWindowOfOwnMessagesStoresThemApartAndIsFlagged) {
  client->post_own(kGroup, "一");
  client->post_own(kGroup, "二");
  getHistoricalNews(kGroup);
  ASSERT_EQ(rows().size(), 2u);
  for (const auto& row : rows()) EXPECT_EQ(row.at("type"), "self");
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);
  EXPECT_TRUE(logged("info 已初始化所有群聊天消息"));
}

TEST_F(HistorySync, AGroupWithStoredRowsStoresNothingTwiceAndItsNewerLinesAreReported) {
  client->post_text(kGroup, "Alice", "一");
  getHistoricalNews(kGroup);
  client->post_text(kGroup, "Bob", "二");
  // Synchronised again (a restart of listening, or of the host on a kept
  // store): nothing is stored twice, and what is newer is reported.
  config.firstCheckGroup.clear();
  getHistoricalNews(kGroup);
  ASSERT_EQ(rows().size(), 1u);
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);
  testing::run_awaitable(deal_msg(kGroup));
  EXPECT_THAT(events, ElementsAre("msg:二"));
  ASSERT_EQ(rows().size(), 2u);
}

TEST_F(HistorySync, AFailureLeavesTheFlagUnset) {
  client->post_text(kGroup, "Alice", "一");
  client->fail_on_call("GetAllMessage", 1);
  EXPECT_THROW(getHistoricalNews(kGroup), OSError);
  EXPECT_FALSE(config.firstCheckGroup.get(kGroup).has_value());
}

// The group list comes from the simulated client's group-list server.
class AllHistory : public testing::GroupWorld {
 protected:
  void SetUp() override {
    GroupWorld::SetUp();
    previous_scale_ = timing::scale();
    timing::set_scale(1.0);  // a loaded machine's exchange must not time out
    server = std::make_unique<sim::GroupListServer>(client);
    config.get_listening_group_url.set(server->url());
  }
  void TearDown() override {
    server.reset();
    timing::set_scale(previous_scale_);
    GroupWorld::TearDown();
  }

  void serve(const std::vector<std::string>& names, Json code = 200) {
    sim::GroupList list;
    for (const auto& name : names) {
      client->add_group(name, {{"Alice", std::nullopt}});
      client->post_text(name, "Alice", name + "的消息");
      list.data.push_back(Json{{"name", name}, {"id", list.data.size()}});
    }
    list.code = std::move(code);
    client->set_group_list(list);
  }

  std::unique_ptr<sim::GroupListServer> server;

 private:
  double previous_scale_ = 1.0;
};

TEST_F(AllHistory, ListsAndSynchronisesTheServersGroups) {
  serve({"一群", "二群"});
  getAllHistoricalNews();
  EXPECT_EQ(config.groupName_list.get(), (std::vector<std::string>{"一群", "二群"}));
  EXPECT_EQ(config.firstCheckGroup.get("一群"), true);
  EXPECT_EQ(config.firstCheckGroup.get("二群"), true);
  EXPECT_EQ(rows("二群").size(), 1u);
  EXPECT_THAT(server->requests(), ElementsAre(kAccount));
  EXPECT_TRUE(logged("info 获取监听所有群的历史消息"));
}

TEST_F(AllHistory, ACodeThatIsNotTheNumber200ChangesNothing) {
  config.groupName_list.set({"旧群"});
  for (const Json& code : {Json("200"), Json(500), Json(nullptr)}) {
    serve({"一群"}, code);
    getAllHistoricalNews();
    EXPECT_EQ(config.groupName_list.get(), std::vector<std::string>{"旧群"}) << code.dump();
  }
  EXPECT_FALSE(config.firstCheckGroup.get("一群").has_value());
  EXPECT_EQ(stdout_text(), "");
  EXPECT_EQ(server->requests().size(), 3u);
}

TEST_F(AllHistory, AFailureInTheThirdOfFiveGroupsStopsThereAndIsPrinted) {
  const std::vector<std::string> names = {"g1", "g2", "g3", "g4", "g5"};
  serve(names);
  client->fail_on_call("ChatWith", 3);
  getAllHistoricalNews();
  EXPECT_EQ(config.groupName_list.get(), names);
  std::vector<bool> flagged;
  for (const auto& name : names) flagged.push_back(config.firstCheckGroup.get(name).value_or(false));
  EXPECT_THAT(flagged, ElementsAre(true, true, false, false, false));
  EXPECT_EQ(stdout_text(), "ChatWith: the client did not respond\n");
}

}  // namespace
}  // namespace orvanta::robot
