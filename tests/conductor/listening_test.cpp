// The listening thread and loop on the simulated client.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "conductor/conductor_fixture.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/cancellation.hpp"

namespace orvanta::conductor::testing {
namespace {

using boost::asio::awaitable;

constexpr const char* kOffline = "已通知群管机器人下线，程序退出。\n";
constexpr const char* kCrash = "error 【致命】子线程协程崩溃：";

class ListeningTest : public ConductorTest {
 protected:
  void SetUp() override {
    ConductorTest::SetUp();
    client->add_friend("Erin");
    ws = std::make_shared<FakeWsClient>();
    config.ws_client.set(ws);
  }

  // Waits for the listening thread to end by itself.
  void wait_for_end(const std::shared_ptr<ListeningThread>& thread) {
    ASSERT_TRUE(eventually([&] { return !thread->running(); }));
    thread->join();
  }

  std::shared_ptr<FakeWsClient> ws;
};

// An error in a cycle ends listening: the server link is closed, the
// consumer is cancelled, the offline line is printed, the crash is logged
// with the error's kind, and later submissions are refused.
TEST_F(ListeningTest, AHandlerErrorEndsListeningThroughTheShutdownSteps) {
  client->post_private("Erin", "在吗");
  std::string seen;
  set_deal_private_msg([&](std::string chat, std::string id) -> awaitable<void> {
    seen = chat + "/" + id;
    throw ValueError("handler broke");
    co_return;
  });
  auto thread = start_listening_thread();
  EXPECT_EQ(current_listening_thread(), thread);
  wait_for_end(thread);

  EXPECT_EQ(seen.rfind("Erin/wx", 0), 0u) << seen;
  EXPECT_EQ(ws->close_requests, 1);
  EXPECT_THROW(std::rethrow_exception(thread->error()), ValueError);
  EXPECT_EQ(count_of(printed(), kOffline), 1);
  EXPECT_EQ(count_of(log(), std::string(kCrash) + "handler broke\norvanta::ValueError: handler broke\n"), 1) << log();
  // The handler failed before the record was stored.
  EXPECT_TRUE(config.db.get()->get_all_messages(AllQuery{.group_name = "Erin"}).empty());
  // The consumer's task has ended: nothing but config (and this copy) holds
  // the queue any more.
  EXPECT_EQ(config.wx_task_queue.get().use_count(), 2);
  robot::wx_send_msg("late", "Erin");
  EXPECT_EQ(count_of(log(), "error [robot] 子线程循环未就绪，丢弃任务"), 1);
  EXPECT_TRUE(client->sent().empty());
}

// Stopping the thread cancels the listening task: the shutdown steps run,
// but a cancellation is no crash and is not logged as one.
TEST_F(ListeningTest, StoppingRunsTheShutdownStepsWithoutACrashLine) {
  client->post_private("Erin", "在吗");
  std::atomic<bool> in_handler{false};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    in_handler = true;
    co_await timing::async_sleep(86400);
  });
  ws->open = false;
  auto thread = start_listening_thread();
  ASSERT_TRUE(eventually([&] { return in_handler.load(); }));
  thread->stop();
  wait_for_end(thread);

  ASSERT_TRUE(thread->error());
  try {
    std::rethrow_exception(thread->error());
  } catch (const std::exception& e) {
    EXPECT_TRUE(is_cancellation(e)) << e.what();
  }
  EXPECT_EQ(ws->close_requests, 0);  // no open link to close
  EXPECT_EQ(count_of(printed(), kOffline), 1);
  EXPECT_EQ(count_of(log(), kCrash), 0) << log();
  EXPECT_EQ(config.wx_task_queue.get().use_count(), 2);
}

// Starting listening again first stops the thread still listening, so that
// two threads never drive the client at once.
TEST_F(ListeningTest, StartingAgainStopsTheThreadStillListening) {
  client->post_private("Erin", "在吗");
  std::atomic<int> entered{0};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    ++entered;
    co_await timing::async_sleep(86400);
  });
  auto first = start_listening_thread();
  ASSERT_TRUE(eventually([&] { return entered.load() == 1; }));
  const auto first_queue = config.wx_task_queue.get();
  auto second = start_listening_thread();
  EXPECT_FALSE(first->running());
  EXPECT_NE(second, first);
  EXPECT_EQ(current_listening_thread(), second);
  ASSERT_TRUE(first->error());
  try {
    std::rethrow_exception(first->error());
  } catch (const std::exception& e) {
    EXPECT_TRUE(is_cancellation(e)) << e.what();
  }
  EXPECT_TRUE(eventually([&] { return config.wx_task_queue.get() != first_queue; }));
}

}  // namespace
}  // namespace orvanta::conductor::testing
