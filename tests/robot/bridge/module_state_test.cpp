#include <atomic>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta {
namespace {

TEST(Config, MissingAttributesRaiseAndResetRestoresDefaults) {
  config.reset();
  EXPECT_THROW(config.my_wxName.get(), AttributeError);
  EXPECT_FALSE(config.db.has_value());
  EXPECT_EQ(config.id前缀.get(), "wx");
  EXPECT_TRUE(config.groupName_list.get().empty());

  config.my_wxName.set("bot");
  config.id前缀.set("ab");
  config.firstCheckGroup.set("g1", true);
  config.firstCheckGroup.set("g0", false);
  config.firstCheckGroup.set("g1", false);
  EXPECT_EQ(config.my_wxName.get(), "bot");
  // Keys keep their first insertion order when updated.
  auto items = config.firstCheckGroup.items();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], (std::pair<std::string, bool>{"g1", false}));
  EXPECT_EQ(items[1].first, "g0");

  config.reset();
  EXPECT_FALSE(config.my_wxName.has_value());
  EXPECT_EQ(config.id前缀.get(), "wx");
  EXPECT_EQ(config.firstCheckGroup.size(), 0u);
}

TEST(Config, ConcurrentReadersSeeWholeValues) {
  config.reset();
  const std::vector<std::string> a{"x", "y"};
  const std::vector<std::string> b{"p", "q", "r"};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) config.groupName_list.set(i % 2 ? a : b);
    stop = true;
  });
  while (!stop) {
    auto seen = config.groupName_list.get();
    EXPECT_TRUE(seen.empty() || seen == a || seen == b);
  }
  writer.join();
  config.reset();
}

TEST(Config, FutureMapTakeRemovesOnceAndMissingGivesNull) {
  struct Waiter {
    int id;
  };
  FutureMap<Waiter> futures;
  futures.insert("a", std::make_shared<Waiter>(Waiter{1}));
  futures.insert("b", std::make_shared<Waiter>(Waiter{2}));
  EXPECT_TRUE(futures.contains("a"));
  auto taken = futures.take("a");
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->id, 1);
  EXPECT_EQ(futures.take("a"), nullptr);
  EXPECT_EQ(futures.take("missing"), nullptr);
  EXPECT_EQ(futures.size(), 1u);
}

TEST(HandlerSlots, ReplacementTakesEffectAtNextCallAndRunningCallKeepsItsHandler) {
  boost::asio::io_context loop;
  std::vector<std::string> seen;
  robot::handle_message_recall = [&](std::string id, std::string group) -> boost::asio::awaitable<void> {
    // Replace the slot while this handler runs: this call must finish with
    // the handler it started with.
    robot::handle_message_recall = [&](std::string id2, std::string) -> boost::asio::awaitable<void> {
      seen.push_back("second:" + id2);
      co_return;
    };
    co_await timing::async_sleep(0.01);
    seen.push_back("first:" + id + "@" + group);
  };
  boost::asio::co_spawn(
      loop,
      []() -> boost::asio::awaitable<void> {
        co_await robot::handle_message_recall("m1", "g");
        co_await robot::handle_message_recall("m2", "g");
      },
      boost::asio::detached);
  loop.run();
  EXPECT_EQ(seen, (std::vector<std::string>{"first:m1@g", "second:m2"}));
  robot::handle_message_recall = robot::default_handle_message_recall;
}

TEST(HandlerSlots, EmptyReplySlotRaisesAttributeError) {
  robot::reply = nullptr;
  EXPECT_THROW(robot::reply(Json::object()), AttributeError);
  int calls = 0;
  robot::reply = [&](Json m) { calls += m.at("n").get<int>(); };
  robot::reply(Json{{"n", 2}});
  EXPECT_EQ(calls, 2);
  robot::reply = nullptr;
}

TEST(HandlerSlots, DefaultsPrintTheirLine) {
  boost::asio::io_context loop;
  testing::internal::CaptureStdout();
  boost::asio::co_spawn(
      loop,
      []() -> boost::asio::awaitable<void> {
        co_await robot::deal_private_msg("chat", "id1");
        co_await robot::group_increase_func("n", "g");
      },
      boost::asio::detached);
  loop.run();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "处理私人消息\n处理新人加群\n");
}

TEST(RunningLoop, ScopesNestAndAbsenceIsAnError) {
  EXPECT_EQ(running_loop_or_null(), nullptr);
  EXPECT_THROW(running_loop(), std::runtime_error);
  boost::asio::io_context outer, inner;
  {
    RunningLoopScope a(outer);
    EXPECT_EQ(&running_loop(), &outer);
    {
      RunningLoopScope b(inner);
      EXPECT_EQ(&running_loop(), &inner);
      std::thread([] { EXPECT_EQ(running_loop_or_null(), nullptr); }).join();
    }
    EXPECT_EQ(&running_loop(), &outer);
  }
  EXPECT_EQ(running_loop_or_null(), nullptr);
}

TEST(Timing, AdvanceEndsALongAsyncWait) {
  boost::asio::io_context loop;
  bool woke = false;
  boost::asio::co_spawn(
      loop,
      [&]() -> boost::asio::awaitable<void> {
        co_await timing::async_sleep(86400);
        woke = true;
      },
      boost::asio::detached);
  std::thread mover([] {
    timing::sleep(1);  // let the wait start
    timing::advance(86400);
  });
  const auto before = timing::time();
  loop.run();
  mover.join();
  EXPECT_TRUE(woke);
  EXPECT_GE(timing::time() - before, 86400.0);
}

TEST(Timing, SetNowMovesTheWallClockOnly) {
  const auto target = std::chrono::system_clock::from_time_t(1'000'000'000);
  timing::set_now(target);
  const auto seen = timing::now();
  EXPECT_GE(seen, target);
  EXPECT_LT(seen - target, std::chrono::hours(1));
  timing::set_now(std::chrono::system_clock::now());
}

}  // namespace
}  // namespace orvanta
