// A stream of group activity processed by repeated window passes, as the
// listening loop runs them: the store ends up holding what the window shows,
// and every event is raised once, in order.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/robot/window_processing.hpp"
#include "support/group_world.hpp"

namespace orvanta::robot {
namespace {

// A small deterministic generator, so that a failing stream repeats.
class Dice {
 public:
  explicit Dice(std::uint64_t seed) : state_(seed) {}
  int roll(int sides) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state_ >> 33) % static_cast<std::uint64_t>(sides));
  }

 private:
  std::uint64_t state_;
};

// What one posted line should become.
struct Posted {
  sim::LineHandle handle = 0;
  std::string type;            // the stored type; empty: nothing stored
  std::string content;         // the stored content
  std::string event;           // the event it raises; empty: none
  sim::LineHandle quoted = 0;  // for a reply: the line it quotes
  bool recallable = false;
  bool recalled = false;
  int step = 0;
  int quoted_at = -1;  // the last step in which a reply quoting it was posted
};

class MessageStream : public testing::GroupWorld, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(MessageStream, StoreMatchesTheWindowAndEveryEventIsRaisedOnceInOrder) {
  mark_synchronised();
  Dice dice(GetParam());
  const std::vector<std::string> senders = {"Alice", "Bob", "Carol"};
  std::vector<Posted> posted;
  std::vector<std::string> expected_events;
  int counter = 0;

  constexpr int kSteps = 40;
  // Seconds of clock time between passes; recalls target lines at most this
  // many steps old, so that their rows are still unchecked.
  constexpr double kStepSeconds = 15;
  constexpr int kRecallReach = 4;

  for (int step = 0; step < kSteps; ++step) {
    timing::advance(kStepSeconds);
    std::vector<std::string> recall_events;
    const int actions = dice.roll(4);
    bool recalled_this_step = false;
    for (int a = 0; a < actions; ++a) {
      const std::string sender = senders[dice.roll(3)];
      // Texts never contain one another, so that a search for one finds it.
      const std::string text = "消息" + std::to_string(1000 + ++counter) + "号";
      Posted p;
      p.step = step;
      switch (int kind = dice.roll(20); kind) {
        case 0:
        case 1:
        case 2: {
          p.handle = client->post_image(kGroup, sender, "picture " + std::to_string(counter), "");
          p = Posted{p.handle, "image", "[图片]", "msg:[图片]", 0, true, false, step};
          break;
        }
        case 3:
        case 4:
        case 5: {
          // A reply to an earlier text or picture of the stream; a reply to
          // a picture is matched through the picture's key.
          std::vector<Posted*> targets;
          for (auto& q : posted)
            if ((q.type == "text" || q.type == "image") && !q.recalled) targets.push_back(&q);
          if (targets.empty()) continue;
          Posted* quoted = targets[dice.roll(static_cast<int>(targets.size()))];
          quoted->quoted_at = step;
          p.handle = client->post_quote_of(kGroup, sender, text, quoted->handle);
          p = Posted{p.handle, "other", text, "msg:" + text, quoted->handle, true, false, step};
          break;
        }
        case 6:
        case 7: {
          const std::string member = "新人" + std::to_string(counter);
          std::string notice, joined = member;
          switch (dice.roll(4)) {
            case 0:
              p.handle = client->join(kGroup, member, sender);
              notice = "\"" + sender + "\"邀请\"" + member + "\"加入了群聊";
              break;
            case 1:
              p.handle = client->join(kGroup, member);
              notice = "\"" + member + "\"通过扫描二维码加入群聊";
              break;
            case 2:
              p.handle = client->join_by_shared_qr(kGroup, member, sender);
              notice = "\"" + member + "\"通过扫描\"" + sender + "\"分享的二维码加入群聊";
              break;
            default:
              joined = member + "、" + member + "的朋友";
              p.handle = client->invite(kGroup, sender, {member, member + "的朋友"});
              notice = "\"" + sender + "\"邀请\"" + joined + "\"加入了群聊";
              break;
          }
          p = Posted{p.handle, "base", notice, "join:" + joined + "@" + kGroup, 0, false, false, step};
          break;
        }
        case 8:
        case 9: {
          // Own messages are stored apart as "self" and never reported.
          p.handle = client->post_own(kGroup, text);
          p = Posted{p.handle, "self", text, "", 0, false, false, step};
          break;
        }
        case 10: {
          p.handle = client->post_system(kGroup, "群公告" + std::to_string(counter));
          p = Posted{p.handle, "", "", "", 0, false, false, step};
          break;
        }
        case 11: {
          // A recall of a message an earlier pass has taken in.
          if (recalled_this_step) continue;
          std::vector<Posted*> targets;
          for (auto& q : posted)
            if (q.recallable && !q.recalled && q.step < step && step - q.step <= kRecallReach && q.quoted_at != step)
              targets.push_back(&q);
          if (targets.empty()) continue;
          Posted* target = targets[dice.roll(static_cast<int>(targets.size()))];
          client->recall(target->handle);
          target->recalled = true;
          recalled_this_step = true;
          recall_events.push_back("recall:" + std::to_string(target->handle));
          continue;
        }
        default: {
          p.handle = client->post_text(kGroup, sender, text);
          p = Posted{p.handle, "text", text, "msg:" + text, 0, true, false, step};
          break;
        }
      }
      if (!p.event.empty()) expected_events.push_back(p.event);
      posted.push_back(p);
    }
    // New messages are reported first, recalls after them.
    for (const auto& e : recall_events) expected_events.push_back(e);
    testing::run_awaitable(deal_msg(kGroup));
  }
  // Passes with nothing new report nothing, and age every row.
  timing::advance(200);
  testing::run_awaitable(deal_msg(kGroup));
  testing::run_awaitable(deal_msg(kGroup));

  // The store holds exactly the lines that are stored, in window order.
  const Rows stored = rows();
  std::vector<std::string> expected_rows, actual_rows;
  std::map<sim::LineHandle, std::string> msg_id_of;
  std::size_t r = 0;
  for (const auto& p : posted) {
    if (p.type.empty()) continue;
    expected_rows.push_back(p.type + "|" + p.content);
    if (r < stored.size()) msg_id_of[p.handle] = stored[r].at("msg_id").get<std::string>();
    ++r;
  }
  for (const auto& row : stored) {
    actual_rows.push_back(row.at("type").get<std::string>() + "|" + row.at("content").get<std::string>());
    if (row.at("type") != "self") {
      EXPECT_EQ(row.at("have_checked"), "true") << row.dump();
    }
  }
  std::size_t part = 0;
  while (part < actual_rows.size() && part < expected_rows.size() && actual_rows[part] == expected_rows[part]) ++part;
  ASSERT_EQ(actual_rows, expected_rows) << "they part at row " << part << ": "
                                        << (part < actual_rows.size() ? actual_rows[part] : "(none)") << " / "
                                        << (part < expected_rows.size() ? expected_rows[part] : "(none)");

  // Quotes point at the row they quote; recalled rows carry a recall id.
  r = 0;
  for (const auto& p : posted) {
    if (p.type.empty()) continue;
    const Row& row = stored[r++];
    if (p.quoted != 0) {
      EXPECT_EQ(row.at("quote_id"), msg_id_of.at(p.quoted)) << p.content;
    }
    EXPECT_EQ(row.at("recall_id") != "", p.recalled) << p.content;
  }

  // Every event once, in order; recalls named by the recalled row.
  for (auto& e : expected_events)
    if (e.starts_with("recall:")) e = "recall:" + msg_id_of.at(std::stoull(e.substr(7))) + "@" + kGroup;
  EXPECT_EQ(events, expected_events);
  EXPECT_GT(expected_events.size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, MessageStream, ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
}  // namespace orvanta::robot
