#include "orvanta/robot/group_directory.hpp"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "robot/ui/sim_client_fixture.hpp"

namespace orvanta::robot {
namespace {

using Names = std::vector<std::string>;

class GroupDirectory : public testing::SimClientTest {
 protected:
  void SetUp() override {
    SimClientTest::SetUp();
    client_->add_group("产品群", {{"Alice", std::nullopt}, {"张三", "Z"}});
    client_->add_group("空群", {});
    client_->add_friend("Erin");
  }

  std::optional<Json> stored_members(const std::string& group) {
    auto text = config.db.get()->get_group_member(group);
    if (!text) return std::nullopt;
    return Json::parse(*text);
  }
};

TEST_F(GroupDirectory, CollectsTheGroupNamesAndShowsTheChatPageAgain) {
  for (const char* start : {"chat", "contact"}) {
    SCOPED_TRACE(start);
    TearDown();
    SetUp();
    if (std::string(start) == "contact") config.wx.get()->SwitchToContact();
    collect_group_names();
    EXPECT_EQ(config.groupName_list.get(), (Names{"产品群", "空群"}));
    EXPECT_EQ(client_->page(), "chat");
    EXPECT_EQ(client_->actions().back().kind, "SwitchToChat");
  }
}

TEST_F(GroupDirectory, AFailedCollectionKeepsTheOldListAndTheContactPage) {
  config.groupName_list.set({"old"});
  client_->fail_on_call("CollectAllGroupNames", 1);
  EXPECT_THROW(collect_group_names(), OSError);
  EXPECT_EQ(config.groupName_list.get(), Names{"old"});
  EXPECT_EQ(client_->page(), "contact");
}

TEST_F(GroupDirectory, ReadsStoresAndReturnsTheMemberList) {
  const struct {
    const char* group;
    Names members;
  } cases[] = {{"产品群", {"Alice", "张三"}}, {"空群", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    EXPECT_EQ(get_group_memberlist(c.group), c.members);
    EXPECT_EQ(client_->current_chat(), c.group);
    EXPECT_EQ(stored_members(c.group), Json(c.members));
  }
}

TEST_F(GroupDirectory, AFailureReachesTheCallerAndStoresNothing) {
  client_->fail_on_call("ChatWith", 1);
  EXPECT_THROW(get_group_memberlist("产品群"), OSError);
  EXPECT_EQ(stored_members("产品群"), std::nullopt);
  config.db.reset();
  EXPECT_THROW(get_group_memberlist("产品群"), AttributeError);
}

}  // namespace
}  // namespace orvanta::robot
