// Events keyed to the system's calls: the world changes between any two
// calls of a pass (between the poll and ChatWith, between GetAllMessage and
// a click), from the API's hook and one-shot triggers and from scenario
// events "on" a call.

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;

std::vector<std::string> contents(const wxauto::WindowMessages& messages) {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m->content().value_or(""));
  return out;
}

class CallEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = make_sim_client();
    client->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
    client->add_group("H", {{"Carol", std::nullopt}});
    wx = client->driver()->MakeWeChat();
  }

  std::shared_ptr<uia::Control> message_button(const std::string& text) {
    auto& uia = client->driver()->Uia();
    auto list = uia.WindowControl(Search{.Name = "微信", .searchDepth = 1})->ListControl(Search{.Name = "消息"});
    for (const auto& item : list->GetChildren()) {
      if (item->Name() != text) continue;
      return item->PaneControl(Search{.foundIndex = 1})
          ->PaneControl(Search{.foundIndex = 1})
          ->ButtonControl(Search{.foundIndex = 1});
    }
    return nullptr;
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(CallEventsTest, TheHookSeesEveryCallWithItsCountAndItsChangesShowInThatAnswer) {
  client->post_text("G", "Alice", "one");
  std::vector<std::pair<std::string, int>> seen;
  client->set_call_hook([&](const std::string& op, int nth) {
    seen.emplace_back(op, nth);
    // Runs without the client's lock: changing the world here must not
    // deadlock, and the second read must already show the new line.
    if (op == "GetAllMessage" && nth == 2) client->post_text("G", "Bob", "two");
  });
  wx->ChatWith("G");
  auto first = contents(wx->GetAllMessage());
  auto second = contents(wx->GetAllMessage());
  EXPECT_EQ(std::count(first.begin(), first.end(), "two"), 0);
  EXPECT_EQ(second.back(), "two");
  EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, int>>{{"ChatWith", 1}, {"GetAllMessage", 1}, {"GetAllMessage", 2}}));

  client->set_call_hook({});
  wx->GetAllMessage();
  EXPECT_EQ(seen.size(), 3u) << "a removed hook still ran";
}

TEST_F(CallEventsTest, AOneShotTriggerFiresOnceAtTheNthCallFromNow) {
  wx->ChatWith("G");
  wx->GetAllMessage();  // calls before the trigger do not count
  int fired = 0;
  client->on_call("GetAllMessage", 2, [&] {
    ++fired;
    client->post_text("G", "Alice", "late");
  });
  EXPECT_TRUE(contents(wx->GetAllMessage()).empty());
  EXPECT_EQ(contents(wx->GetAllMessage()).back(), "late");
  EXPECT_EQ(contents(wx->GetAllMessage()).size(), 2u);  // the time separator and "late"
  EXPECT_EQ(fired, 1);
  EXPECT_THROW(client->on_call("ChatWith", 0, [] {}), ValueError);
}

TEST_F(CallEventsTest, ANewChatBetweenThePollAndChatWithAndARecallBeforeTheDownload) {
  LineHandle picture = client->post_image("G", "Alice", "bytes", "p.jpg");
  // The poll names G; before the system opens it, a line arrives in H.
  client->on_call("ChatWith", 1, [&] { client->post_text("H", "Carol", "meanwhile"); });
  Json next = wx->GetNextNewMessage(true);
  EXPECT_EQ(next["chat_name"], "G");
  wx->ChatWith("G");
  EXPECT_TRUE(client->unread("H"));

  auto messages = wx->GetAllMessage();
  client->on_call("download", 1, [&] { client->recall(picture); });
  EXPECT_THROW(messages.back()->download(), LookupError);
}

TEST_F(CallEventsTest, ARecallBetweenTheReadAndTheRightClickLeavesNoMenuEntryForTheLine) {
  LineHandle text = client->post_text("G", "Alice", "hello");
  wx->ChatWith("G");
  wx->GetAllMessage();
  auto button = message_button("hello");
  ASSERT_TRUE(button);
  client->on_call("RightClick", 1, [&] { client->recall(text); });
  // The entry is now a recall notice without a message button: the
  // right-click finds nothing to click.
  EXPECT_THROW(button->RightClick(), LookupError);
}

TEST_F(CallEventsTest, ScenarioEventsOnACallAreAppliedJustBeforeItAnswers) {
  client->load_scenario(Json::parse(R"({
    "chats": [{"name": "S", "members": ["Ann"]}],
    "timeline": [
      {"at": 0, "event": "text", "chat": "S", "sender": "Ann", "text": "first", "id": "m1"},
      {"on": {"op": "GetAllMessage", "nth": 2}, "event": "recall", "target": "m1"},
      {"on": {"op": "ChatWith"}, "event": "text", "chat": "S", "sender": "Ann", "text": "on open"}
    ]})"));
  EXPECT_EQ(client->pending_events(), 2u);
  wx->ChatWith("S");
  EXPECT_EQ(contents(wx->GetAllMessage()).back(), "on open");
  auto second = contents(wx->GetAllMessage());
  EXPECT_NE(std::find(second.begin(), second.end(), "\"Ann\" 撤回了一条消息"), second.end());
  EXPECT_EQ(client->pending_events(), 0u);
}

// Whatever the order of calls, triggers fire exactly at their count and the
// same script gives the same records: the events are deterministic.
TEST_F(CallEventsTest, TriggersFireExactlyAtTheirCountUnderRandomCallOrders) {
  const std::vector<std::string> ops = {"GetAllMessage", "ChatWith", "GetNextNewMessage", "LoadMoreMessage"};
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 rng(seed);
    auto sim = make_sim_client();
    sim->add_group("G", {{"Alice", std::nullopt}});
    auto w = sim->driver()->MakeWeChat();
    std::map<std::string, int> wanted;
    std::map<std::string, int> fired_at;
    std::map<std::string, int> counts;
    for (const auto& op : ops) {
      wanted[op] = static_cast<int>(rng() % 6) + 1;
      sim->on_call(op, wanted[op], [&, op] {
        fired_at[op] = counts[op];
        sim->post_text("G", "Alice", op);
      });
    }
    sim->set_call_hook([&](const std::string& op, int nth) {
      ++counts[op];
      EXPECT_EQ(counts[op], nth);
    });
    for (int i = 0; i < 30; ++i) {
      const std::string& op = ops[rng() % ops.size()];
      if (op == "GetAllMessage") w->GetAllMessage();
      if (op == "ChatWith") w->ChatWith("G");
      if (op == "GetNextNewMessage") w->GetNextNewMessage(true);
      if (op == "LoadMoreMessage") w->LoadMoreMessage();
    }
    for (const auto& op : ops) {
      // The trigger runs before the hook of the same call, so it sees the
      // count before that call.
      EXPECT_EQ(fired_at.count(op), counts[op] >= wanted[op] ? 1u : 0u) << op << " seed " << seed;
      if (fired_at.count(op)) {
        EXPECT_EQ(fired_at[op], wanted[op] - 1) << op << " seed " << seed;
      }
    }
    sim->set_call_hook({});
  }
}

}  // namespace
}  // namespace orvanta::sim
