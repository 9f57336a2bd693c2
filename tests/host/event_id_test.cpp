// Event identifiers, and the outbox that gives them.

#include "event_id.hpp"

#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "event_reporter.hpp"
#include "outbox.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::host {
namespace {

// Over many generated clocks (rising, standing still, going back) and
// restarts from the last identifier: every identifier is well formed and
// greater, as text, than the one before; the time part follows a rising
// clock.
TEST(EventIds, RiseStrictlyWhateverTheClockDoesAndAcrossRestarts) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 random(seed);
    EventIdGenerator ids(std::nullopt, seed);
    std::int64_t now = 1'700'000'000'000 + static_cast<std::int64_t>(random() % 1'000'000);
    std::string last;
    for (int i = 0; i < 200; ++i) {
      switch (random() % 5) {
        case 0:
          now -= static_cast<std::int64_t>(random() % 5000);
          break;  // the clock goes back
        case 1:
          break;  // the same millisecond
        default:
          now += static_cast<std::int64_t>(random() % 3);
          break;  // it goes on
      }
      if (random() % 50 == 0) ids = EventIdGenerator(last, random());  // a restart
      const std::string id = ids.next(now);
      ASSERT_TRUE(is_event_id(id)) << id;
      ASSERT_GT(id, last);
      last = id;
    }
  }
  // The time part: the first ten digits, the milliseconds since 1970.
  EventIdGenerator ids;
  EXPECT_EQ(ids.next(0).substr(0, 10), "0000000000");
  EXPECT_EQ(ids.next(1'469'918'176'385).substr(0, 10), "01ARYZ6S41");
  // Counting within one millisecond past the top of the 80 bits moves on to
  // the next millisecond rather than wrapping.
  const std::optional<std::string> top = "01ARYZ6S41ZZZZZZZZZZZZZZZZ";
  EventIdGenerator full(top);
  EXPECT_EQ(full.next(1'469'918'176'385), "01ARYZ6S420000000000000000");
  EXPECT_FALSE(is_event_id("8ZZZZZZZZZZZZZZZZZZZZZZZZZ"));
  EXPECT_FALSE(is_event_id("01ARYZ6S41ZZZZZZZZZZZZZZZI"));
}

TEST(OutboxEvents, GivesUniqueRisingIdsThatSurviveReopeningAndDropsAnswersFirst) {
  testing::TempDir dir;
  std::set<std::string> seen;
  std::string last;
  auto push = [&](Outbox& outbox, EventKind kind, const std::string& body) {
    auto pushed = outbox.push(kind, [&](const std::string& id) { return id + " " + body; });
    EXPECT_TRUE(seen.insert(pushed.event_id).second);
    EXPECT_GT(pushed.event_id, last);
    last = pushed.event_id;
    return pushed;
  };
  {
    Outbox outbox(dir.file("wxChat.db"), 4);
    push(outbox, EventKind::kChat, "m1");
    push(outbox, EventKind::kAnswer, "a1");
    push(outbox, EventKind::kChat, "m2");
    push(outbox, EventKind::kAnswer, "a2");
    // Full: the answers go first, oldest first, then the oldest chat event.
    EXPECT_EQ(push(outbox, EventKind::kChat, "m3").dropped, 1u);
    EXPECT_EQ(push(outbox, EventKind::kChat, "m4").dropped, 1u);
    EXPECT_EQ(push(outbox, EventKind::kChat, "m5").dropped, 1u);
    EXPECT_EQ(outbox.dropped(), 3u);
  }
  for (int run = 0; run < 3; ++run) {
    Outbox reopened(dir.file("wxChat.db"), 4);
    push(reopened, EventKind::kChat, "r" + std::to_string(run));
  }
  Outbox outbox(dir.file("wxChat.db"), 4);
  std::vector<std::string> bodies;
  for (const auto& e : outbox.after(0, 10)) {
    bodies.push_back(e.body.substr(e.body.find(' ') + 1));
    EXPECT_EQ(e.body.substr(0, e.body.find(' ')), e.event_id);
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"m5", "r0", "r1", "r2"}));
}

TEST(JoinNotices, ANoticeNamingSeveralMembersGivesEachOfThem) {
  EXPECT_EQ(joined_members("Frank"), std::vector<std::string>{"Frank"});
  EXPECT_EQ(joined_members("Judy、Ken"), (std::vector<std::string>{"Judy", "Ken"}));
  EXPECT_EQ(joined_members("小明、Ken、李雷"), (std::vector<std::string>{"小明", "Ken", "李雷"}));
  // Empty parts are no members.
  EXPECT_EQ(joined_members("Judy、"), std::vector<std::string>{"Judy"});
}

}  // namespace
}  // namespace orvanta::host
