#include "orvanta/robot/history_sync.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/fetching.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/timing.hpp"
#include "support/group_world.hpp"
#include "support/tls_server.hpp"

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
  // Own messages are left out; Bob's picture, whose download failed, too.
  EXPECT_THAT(contents, ElementsAre("价格", "价格", "一百", "什么", "\"Bob\" 撤回了一条消息", "[图片]", "最后"));
  EXPECT_EQ(stored[2].at("quote_id"), stored[0].at("msg_id"));  // the earlier of two equal texts
  EXPECT_EQ(stored[2].at("quote_content"), "价格");
  EXPECT_EQ(stored[3].at("quote_id"), "");
  EXPECT_EQ(stored[3].at("quote_content"), "不在窗口里的话");
  EXPECT_EQ(stored[4].at("type"), "text");
  EXPECT_NE(stored[4].at("recall_id"), "");
  EXPECT_EQ(stored[5].at("img_md5"), picture_key("picture one"));
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);
  EXPECT_TRUE(logged("error 图片下载失败"));
  EXPECT_TRUE(logged("info 数据库中暂无群：产品交流群 消息记录,直接记录不需要操作"));
  EXPECT_TRUE(logged("info 已初始化所有群聊天消息"));
  EXPECT_THAT(events, IsEmpty());
}

TEST_F(HistorySync, AWindowOfOwnMessagesStoresNothingButIsFlagged) {
  client->post_own(kGroup, "一");
  client->post_own(kGroup, "二");
  getHistoricalNews(kGroup);
  EXPECT_THAT(rows(), IsEmpty());
  EXPECT_EQ(config.firstCheckGroup.get(kGroup), true);
  EXPECT_TRUE(logged("info 已初始化所有群聊天消息"));
}

TEST_F(HistorySync, AFailureLeavesTheFlagUnset) {
  client->post_text(kGroup, "Alice", "一");
  client->fail_on_call("GetAllMessage", 1);
  EXPECT_THROW(getHistoricalNews(kGroup), OSError);
  EXPECT_FALSE(config.firstCheckGroup.get(kGroup).has_value());
}

// The group list comes from a local HTTPS server.
class AllHistory : public testing::GroupWorld {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<testing::TestPki>(testing::TestPki::make());
    ca_file_ = std::make_unique<testing::TempFile>(pki_->ca_cert_pem);
  }
  static void TearDownTestSuite() {
    ca_file_.reset();
    pki_.reset();
  }
  void SetUp() override {
    GroupWorld::SetUp();
    previous_scale_ = timing::scale();
    timing::set_scale(1.0);  // a loaded machine's handshake must not time out
    set_extra_ca_file(ca_file_->path());
  }
  void TearDown() override {
    set_extra_ca_file(std::nullopt);
    timing::set_scale(previous_scale_);
    GroupWorld::TearDown();
  }

  std::unique_ptr<testing::TlsServer> serve(const std::string& body) {
    auto server = std::make_unique<testing::TlsServer>(*pki_, testing::TlsServer::Behaviour::kAnswer,
                                                       testing::CannedResponse{200, "OK", body});
    config.get_listening_group_url.set("https://" + server->host() + "/groups?name=");
    return server;
  }

  void add_groups(const std::vector<std::string>& names) {
    for (const auto& name : names) {
      client->add_group(name, {{"Alice", std::nullopt}});
      client->post_text(name, "Alice", name + "的消息");
    }
  }

 private:
  static std::unique_ptr<testing::TestPki> pki_;
  static std::unique_ptr<testing::TempFile> ca_file_;
  double previous_scale_ = 1.0;
};

std::unique_ptr<testing::TestPki> AllHistory::pki_;
std::unique_ptr<testing::TempFile> AllHistory::ca_file_;

TEST_F(AllHistory, ListsAndSynchronisesTheServersGroups) {
  add_groups({"一群", "二群"});
  auto server = serve(R"({"code": 200, "data": [{"name": "一群", "id": 1}, {"name": "二群"}]})");
  getAllHistoricalNews();
  EXPECT_EQ(config.groupName_list.get(), (std::vector<std::string>{"一群", "二群"}));
  EXPECT_EQ(config.firstCheckGroup.get("一群"), true);
  EXPECT_EQ(config.firstCheckGroup.get("二群"), true);
  EXPECT_EQ(rows("二群").size(), 1u);
  ASSERT_EQ(server->request_heads().size(), 1u);
  EXPECT_THAT(server->request_heads()[0], HasSubstr("GET /groups?name=" + std::string(kAccount) + " HTTP/1.1\r\n"));
  EXPECT_TRUE(logged("info 获取监听所有群的历史消息"));
}

TEST_F(AllHistory, ACodeThatIsNotTheNumber200ChangesNothing) {
  add_groups({"一群"});
  config.groupName_list.set({"旧群"});
  for (const char* body : {R"({"code": "200", "data": [{"name": "一群"}]})",
                           R"({"code": 500, "data": [{"name": "一群"}]})", R"({"data": [{"name": "一群"}]})"}) {
    auto server = serve(body);
    getAllHistoricalNews();
    EXPECT_EQ(config.groupName_list.get(), std::vector<std::string>{"旧群"}) << body;
  }
  EXPECT_FALSE(config.firstCheckGroup.get("一群").has_value());
  EXPECT_EQ(stdout_text(), "");
}

TEST_F(AllHistory, AFailureInTheThirdOfFiveGroupsStopsThereAndIsPrinted) {
  const std::vector<std::string> names = {"g1", "g2", "g3", "g4", "g5"};
  add_groups(names);
  auto server = serve(
      R"({"code": 200, "data": [{"name": "g1"}, {"name": "g2"}, {"name": "g3"}, {"name": "g4"}, {"name": "g5"}]})");
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
