#include "orvanta/robot/group_directory.hpp"

#include <string>
#include <vector>

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
    return text ? std::optional<Json>(Json::parse(*text)) : std::nullopt;
  }
};

TEST_F(GroupDirectory, CollectsTheGroupNamesAndShowsTheChatPageAgain) {
  for (bool from_contacts : {false, true}) {
    if (from_contacts) config.wx.get()->SwitchToContact();
    collect_group_names();
    EXPECT_EQ(config.groupName_list.get(), (Names{"产品群", "空群"}));
    EXPECT_EQ(client_->page(), "chat");
  }
  config.groupName_list.set({"old"});
  client_->fail_on_call("CollectAllGroupNames", 1);
  EXPECT_THROW(collect_group_names(), OSError);
  EXPECT_EQ(config.groupName_list.get(), Names{"old"});
  EXPECT_EQ(client_->page(), "contact");
}

TEST_F(GroupDirectory, ReadsStoresAndReturnsTheMemberList) {
  for (const auto& [group, members] : {std::pair<std::string, Names>{"产品群", {"Alice", "张三"}}, {"空群", {}}}) {
    SCOPED_TRACE(group);
    EXPECT_EQ(get_group_memberlist(group), members);
    EXPECT_EQ(client_->current_chat(), group);
    EXPECT_EQ(stored_members(group), Json(members));
  }
  // A chat that cannot be opened is not read, and nothing is stored for it.
  client_->add_group("新群", {{"Bob", std::nullopt}});
  const auto reads = count_actions("GetGroupMembers");
  client_->fail_on_call("ChatWith", 1);
  EXPECT_THROW(get_group_memberlist("新群"), OSError);
  EXPECT_EQ(count_actions("GetGroupMembers"), reads);
  EXPECT_EQ(stored_members("新群"), std::nullopt);
  config.db.reset();
  EXPECT_THROW(get_group_memberlist("产品群"), AttributeError);
}

}  // namespace
}  // namespace orvanta::robot
