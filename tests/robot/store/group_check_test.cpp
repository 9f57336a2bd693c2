#include "orvanta/robot/group_check.hpp"

#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/robot/timing.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

class GroupCheck : public testing::GroupWorld {
 protected:
  void SetUp() override {
    GroupWorld::SetUp();
    for (const char* name : {"g1", "g2", "g3"}) client->add_group(name, {{"Alice", std::nullopt}});
  }

  void call() { testing::run_awaitable(check_group_member()); }

  // The groups each call visited ("" for a call that closed the pass).
  std::vector<std::string> visits(int calls) {
    std::vector<std::string> out;
    for (int i = 0; i < calls; ++i) {
      const auto before = action_kinds("ChatWith").size();
      call();
      const auto opened = action_kinds("ChatWith");
      out.push_back(opened.size() > before ? opened.back() : "");
    }
    return out;
  }

  std::vector<std::string> pass_lines() const {
    std::vector<std::string> out;
    for (const auto& line : log_lines())
      if (line.find("新一轮轮询") != std::string::npos) out.push_back(line);
    return out;
  }
};

TEST_F(GroupCheck, APassVisitsEachGroupOnceThenClosesWithItsDurationAndCount) {
  config.groupName_list.set({"g1", "g2", "g3"});
  config._start_time.set(timing::time());
  const double started = timing::time();
  EXPECT_THAT(visits(4), ElementsAre("g1", "g2", "g3", ""));
  // Three visits, each with its 3-second pause.
  EXPECT_GE(timing::time() - started, 9.0);
  const auto lines = pass_lines();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, std::regex("info 新一轮轮询，上一轮轮询用时(\\d+\\.\\d+)秒，涉及群3个")))
      << lines[0];
  EXPECT_GE(std::stod(m[1]), 9.0);
  EXPECT_THAT(config.have_check_groupName_list.get(), IsEmpty());
  EXPECT_TRUE(logged("info 轮询到群g2"));
  EXPECT_TRUE(logged("info 完成轮询群g2，等待时间"));
  // The next call starts the next pass.
  EXPECT_THAT(visits(1), ElementsAre("g1"));
}

TEST_F(GroupCheck, AListWithARepeatedOrChangedNameStillEndsItsPass) {
  config.groupName_list.set({"g1", "g1", "g2"});
  EXPECT_THAT(visits(3), ElementsAre("g1", "g2", ""));
  ASSERT_EQ(pass_lines().size(), 1u);
  EXPECT_THAT(pass_lines()[0], ::testing::EndsWith("秒，涉及群3个"));

  config.groupName_list.set({"g1", "g2"});
  EXPECT_THAT(visits(1), ElementsAre("g1"));
  config.groupName_list.set({"g2", "g3"});
  EXPECT_THAT(visits(3), ElementsAre("g2", "g3", ""));
  EXPECT_EQ(pass_lines().size(), 2u);
}

TEST_F(GroupCheck, AnEmptyListOnlyStartsTheClock) {
  EXPECT_FALSE(config._start_time.has_value());
  EXPECT_THAT(visits(1), ElementsAre(""));
  EXPECT_TRUE(config._start_time.has_value());
  EXPECT_THAT(pass_lines(), IsEmpty());
}

TEST_F(GroupCheck, AFailedVisitStillCountsAsAVisit) {
  config.groupName_list.set({"g1", "g2"});
  client->fail_on_call("ChatWith", 1);
  EXPECT_THROW(call(), OSError);
  EXPECT_THAT(config.have_check_groupName_list.get(), ElementsAre("g1"));
  EXPECT_THAT(visits(2), ElementsAre("g2", ""));
}

TEST(UpdateGroupMemberList, SetsTheFlagsOfKnownGroupsOnly) {
  config.firstCheckGroup.clear();
  config.firstCheckGroup.set("a", false);
  config.firstCheckGroup.set("b", true);
  update_group_member_list({"a", "zzz"});
  EXPECT_EQ(config.firstCheckGroup.items(), (std::vector<std::pair<std::string, bool>>{{"a", true}, {"b", false}}));
  update_group_member_list({});
  EXPECT_EQ(config.firstCheckGroup.items(), (std::vector<std::pair<std::string, bool>>{{"a", false}, {"b", false}}));
  config.firstCheckGroup.clear();
}

}  // namespace
}  // namespace orvanta::robot
