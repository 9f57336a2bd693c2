// Generated group traffic as members really write it (repeated texts from
// several people, texts equal to the quote markers or to "[图片]", pictures,
// replies to texts and pictures, recalls of seen and unseen lines, own
// texts, pictures and replies, bursts longer than the window, two groups,
// handlers that open or send to another chat and then wait, a restart of
// listening on the stored messages), processed by window passes. Whatever
// is posted: every member line a pass could see is reported exactly once and
// in order, a recall is reported only for the recalled line and at most
// once, a reply links to a stored row of its group or to none, nothing is
// stored twice, and no pass fails.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/group_check.hpp"
#include "orvanta/robot/history_sync.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/robot/window_processing.hpp"
#include "support/dice.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

constexpr const char* kOther = "运营群";

// A member line that may be reported.
struct MemberLine {
  std::string group;
  sim::LineHandle handle = 0;
  std::string sender;
  std::string content;  // as stored and reported
  bool seen = false;    // a pass of its group ran after it was posted
  // The pass of its group running when it arrived (it may or may not have
  // been read by that pass), or -1.
  int during_pass = -1;
  bool recalled = false;
  bool recalled_unseen = false;
};

struct Reported {
  std::string group, sender, content, msg_id, quote_id;
};

// Where two sequences of lines part, with a few lines of each around it;
// empty when they are equal.
std::string first_difference(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  std::size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  if (i == actual.size() && i == expected.size()) return "";
  std::string text = "reported " + std::to_string(actual.size()) + " lines, expected " +
                     std::to_string(expected.size()) + "; they part at line " + std::to_string(i) + "\n";
  const std::size_t from = i < 3 ? 0 : i - 3;
  for (const auto* side : {&actual, &expected}) {
    text += side == &actual ? "reported:" : "expected:";
    for (std::size_t k = from; k < std::min(side->size(), i + 5); ++k) text += " [" + (*side)[k] + "]";
    text += "\n";
  }
  return text;
}

class GroupTraffic : public testing::GroupWorld, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  void SetUp() override {
    GroupWorld::SetUp();
    client->add_group(kOther, {{"Alice", "A001"}, {"Bob", std::nullopt}, {"Carol", "C003"}});
    // The handlers stand for a host: they record, and sometimes act in
    // another chat, or wait, before the pass goes on.
    robot::deal_group_msg = [this](Message m) -> boost::asio::awaitable<void> {
      const Row row = store->get_latest_messages(1, LatestQuery{.group_name = m.position, .msg_id = m.sequence}).at(0);
      reported.push_back(Reported{m.position, row.at("sender").get<std::string>(), m.content, m.sequence,
                                  row.at("quote_id").get<std::string>()});
      if (!dice) co_return;
      const std::string elsewhere = m.position == kGroup ? kOther : kGroup;
      switch (dice->roll(8)) {
        case 0:
          config.wx.get()->ChatWith(elsewhere);
          break;
        case 1:
          config.wx.get()->SendMsg("已收到", elsewhere);
          co_await timing::async_sleep(1);
          break;
        case 2:
          co_await timing::async_sleep(0.5);
          break;
        default:
          break;
      }
    };
    robot::handle_message_recall = [this](std::string msg_id, std::string group) -> boost::asio::awaitable<void> {
      recalls.push_back(msg_id + "@" + group);
      co_return;
    };
  }

  void TearDown() override {
    logger()->set_level(spdlog::level::info);
    GroupWorld::TearDown();
  }

  std::size_t message_rows(const std::string& group) {
    std::size_t count = 0;
    for (const Row& row : rows(group)) {
      const std::string type = row.at("type").get<std::string>();
      if (type == "text" || type == "other" || type == "image") ++count;
    }
    return count;
  }

  std::map<std::string, std::size_t> history_rows;
  std::map<std::string, int> passes;
  std::string running;
  bool racing = true;
  std::optional<testing::Dice> dice;
  std::vector<Reported> reported;
  std::vector<std::string> recalls;
};

TEST_P(GroupTraffic, EveryMemberLineOnceInOrderAndRecallsOnlyOfTheRecalledLine) {
  const std::vector<std::string> groups = {kGroup, kOther};
  const std::vector<std::string> senders = {"Alice", "Bob", "Carol"};
  const std::vector<std::string> texts = {"收到", "好的", "1", "引用  的消息", "引用  的消息 :", "[图片]", "好"};
  dice.emplace(GetParam());
  if (std::getenv("ORVANTA_TRACE")) logger()->set_level(spdlog::level::debug);
  std::vector<MemberLine> lines;
  int counter = 0;
  // What the groups show before listening starts is history: synchronised,
  // never reported.
  config.groupName_list.set(groups);
  // Or, now and then, a group shows only own lines and its store is empty.
  for (const auto& group : groups) {
    if (dice->chance(3)) {
      const auto said = client->post_own(group, dice->pick(texts));
      client->post_own_image(group, "own picture of " + group);
      client->post_own_quote(group, dice->pick(texts), said);
      config.firstCheckGroup.set(group, true);
    } else {
      for (int i = dice->roll(12); i > 0; --i) client->post_text(group, dice->pick(senders), dice->pick(texts));
      testing::run_awaitable(deal_msg(group));
    }
    history_rows[group] = message_rows(group);
  }

  constexpr int kSteps = 30;
  for (int step = 0; step < kSteps; ++step) {
    timing::advance(dice->chance(4) ? 150 : 15);
    for (const auto& group : groups) {
      // Now and then a burst longer than the window.
      const int actions = dice->chance(6) ? 12 + dice->roll(15) : dice->roll(5);
      for (int a = 0; a < actions; ++a) {
        const std::string sender = dice->pick(senders);
        const std::string text = dice->chance(2) ? dice->pick(texts) : "消息" + std::to_string(++counter);
        switch (dice->roll(14)) {
          case 0:
            lines.push_back(
                {group, client->post_image(group, sender, "picture " + std::to_string(++counter)), sender, "[图片]"});
            break;
          case 1:
          case 2: {
            std::vector<const MemberLine*> targets;
            for (const auto& l : lines)
              if (l.group == group && !l.recalled) targets.push_back(&l);
            if (targets.empty()) break;
            const MemberLine* quoted = targets[static_cast<std::size_t>(dice->roll(static_cast<int>(targets.size())))];
            lines.push_back({group, client->post_quote_of(group, sender, text, quoted->handle), sender, text});
            break;
          }
          case 3:
            client->post_own(group, text);
            break;
          case 4:
            client->post_system(group, "群公告" + std::to_string(++counter));
            break;
          case 12:
            client->post_own_image(group, "own picture " + std::to_string(++counter));
            break;
          case 13: {
            std::vector<const MemberLine*> targets;
            for (const auto& l : lines)
              if (l.group == group && !l.recalled) targets.push_back(&l);
            if (!targets.empty()) client->post_own_quote(group, text, dice->pick(targets)->handle);
            break;
          }
          case 5: {
            std::vector<MemberLine*> targets;
            // A line that arrived during a pass is not recalled before a pass
            // has surely read it: whether that pass reported it is open.
            for (auto& l : lines)
              if (l.group == group && !l.recalled && (l.seen || l.during_pass < 0)) targets.push_back(&l);
            if (targets.empty()) break;
            MemberLine* target =
                targets[targets.size() - 1 -
                        static_cast<std::size_t>(dice->roll(std::min<int>(6, static_cast<int>(targets.size()))))];
            client->recall(target->handle);
            target->recalled = true;
            target->recalled_unseen = !target->seen;
            break;
          }
          default:
            lines.push_back({group, client->post_text(group, sender, text), sender, text});
            break;
        }
      }
    }
    for (const auto& l : lines)
      if (!l.seen)
        logger()->debug("posted in {}: {}: {}{}", l.group, l.sender, l.content, l.recalled ? " (recalled)" : "");
    // Once in a while listening starts again on the stored messages, as a
    // new process would: nothing kept in memory, the history synchronised
    // again before the passes go on. (A group with nothing stored yet would
    // be seen for the first time, its window taken as history.)
    const bool all_stored =
        std::all_of(groups.begin(), groups.end(), [](const auto& g) { return get_group_message_count(g) > 0; });
    if (all_stored && dice->chance(10)) {
      config.firstCheckGroup.clear();
      forget_group_visits();
      for (const auto& group : groups)
        ASSERT_NO_THROW(getHistoricalNews(group)) << "seed " << GetParam() << " step " << step;
    }
    // Sometimes a group is left alone for a step, so that its lines pile up;
    // sometimes a line arrives in the middle of a pass, between two calls.
    for (const auto& group : groups) {
      if (dice->chance(4)) continue;
      if (dice->chance(3)) {
        static const std::vector<std::string> ops = {"GetAllMessage", "ChatWith", "LoadMoreMessage"};
        const std::string target = dice->pick(groups), sender = dice->pick(senders), text = dice->pick(texts);
        client->on_call(dice->pick(ops), 1 + dice->roll(3), [this, &lines, target, sender, text] {
          if (!racing) return;
          lines.push_back({target, client->post_text(target, sender, text), sender, text});
          if (target == running) lines.back().during_pass = passes[target];
        });
      }
      running = group;
      ASSERT_NO_THROW(testing::run_awaitable(deal_msg(group))) << "seed " << GetParam() << " step " << step;
      running.clear();
      for (auto& l : lines)
        if (l.group == group && l.during_pass != passes[group]) l.seen = true;
      ++passes[group];
    }
  }
  // The last passes read what is there: no line arrives during them.
  racing = false;
  for (int last = 0; last < 2; ++last)
    for (const auto& group : groups) testing::run_awaitable(deal_msg(group));

  std::map<std::string, std::string> line_of_msg_id;
  for (const auto& group : groups) {
    std::vector<std::string> expected, actual;
    for (const auto& l : lines)
      if (l.group == group && !l.recalled_unseen) expected.push_back(l.sender + ": " + l.content);
    std::vector<const MemberLine*> in_group;
    for (const auto& l : lines)
      if (l.group == group && !l.recalled_unseen) in_group.push_back(&l);
    for (const auto& r : reported)
      if (r.group == group) actual.push_back(r.sender + ": " + r.content);
    ASSERT_EQ(first_difference(actual, expected), "") << "seed " << GetParam() << ", group " << group << "\n"
                                                      << (std::getenv("ORVANTA_TRACE") ? log.str() : "");
    std::size_t i = 0;
    for (const auto& r : reported)
      if (r.group == group) line_of_msg_id[r.msg_id] = std::to_string(in_group[i++]->handle);

    // One row per reported message, besides the history.
    EXPECT_EQ(message_rows(group), history_rows[group] + actual.size()) << "seed " << GetParam() << ", group " << group;
    std::set<std::string> msg_ids;
    for (const Row& row : rows(group)) msg_ids.insert(row.at("msg_id").get<std::string>());
    // A reply links to a row of its group, or to none.
    for (const auto& r : reported) {
      if (r.group == group && !r.quote_id.empty()) {
        EXPECT_TRUE(msg_ids.count(r.quote_id))
            << "seed " << GetParam() << ": " << r.content << " links to " << r.quote_id << ", no row of " << group;
      }
    }
  }

  std::set<std::string> recalled_handles;
  for (const auto& l : lines)
    if (l.recalled) recalled_handles.insert(std::to_string(l.handle));
  std::set<std::string> reported_recalls;
  for (const auto& r : recalls) {
    const std::string msg_id = r.substr(0, r.find('@'));
    ASSERT_TRUE(line_of_msg_id.count(msg_id)) << r;
    EXPECT_TRUE(recalled_handles.count(line_of_msg_id[msg_id]))
        << "seed " << GetParam() << ": a line that was never recalled was reported as recalled: " << r;
    EXPECT_TRUE(reported_recalls.insert(msg_id).second) << "reported twice: " << r;
  }
}

std::vector<std::uint64_t> seeds() {
  std::vector<std::uint64_t> s;
  for (std::uint64_t i = 1; i <= testing::property_seeds(12, 500); ++i) s.push_back(i);
  return s;
}

INSTANTIATE_TEST_SUITE_P(Seeds, GroupTraffic, ::testing::ValuesIn(seeds()));

}  // namespace
}  // namespace orvanta::robot
