// The listening thread and loop on the simulated client.

#include <functional>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <pthread.h>

#include "conductor/conductor_fixture.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::conductor::testing {
namespace {

using boost::asio::awaitable;

constexpr const char* kOffline = "已通知群管机器人下线，程序退出。\n";
constexpr const char* kCrash = "error 【致命】子线程协程崩溃：";

// Whether listening ended with the cancellation of its task.
bool ended_by_cancellation(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
  }
  return false;
}

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

  EXPECT_TRUE(ended_by_cancellation(thread->error()));
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
  EXPECT_TRUE(ended_by_cancellation(first->error()));
  EXPECT_TRUE(eventually([&] { return config.wx_task_queue.get() != first_queue; }));
}

// The client driver with a watch on who drives it: a call made while
// another listening thread that has driven the client is still running is
// counted as an overlap. Polls may be answered by the test instead of the
// client, and the clock time of every poll is kept.
class WatchedWeChat final : public wxauto::WeChat {
 public:
  explicit WatchedWeChat(std::shared_ptr<wxauto::WeChat> inner) : inner_(std::move(inner)) {}

  int overlaps() const {
    std::lock_guard guard(mu_);
    return overlaps_;
  }
  std::vector<double> poll_times() const {
    std::lock_guard guard(mu_);
    return poll_times_;
  }
  // Counts `thread` as one that drives the client (also before it has).
  void enlist(std::shared_ptr<ListeningThread> thread) {
    std::lock_guard guard(mu_);
    if (std::find(drivers_.begin(), drivers_.end(), thread) == drivers_.end()) drivers_.push_back(std::move(thread));
  }
  // The next polls answer these, in order, before the client is asked.
  void answer_polls(std::vector<Json> answers) {
    std::lock_guard guard(mu_);
    answers_ = std::move(answers);
  }

  std::string nickname() const override { return inner_->nickname(); }
  Json GetNextNewMessage(bool filter_mute) override {
    watch();
    {
      std::lock_guard guard(mu_);
      poll_times_.push_back(timing::time());
      if (!answers_.empty()) {
        Json answer = answers_.front();
        answers_.erase(answers_.begin());
        return answer;
      }
    }
    return inner_->GetNextNewMessage(filter_mute);
  }
  void ChatWith(const std::string& who) override {
    watch();
    inner_->ChatWith(who);
  }
  void SwitchToChat() override {
    watch();
    inner_->SwitchToChat();
  }
  void SwitchToContact() override {
    watch();
    inner_->SwitchToContact();
  }
  std::vector<std::string> CollectAllGroupNames() override {
    watch();
    return inner_->CollectAllGroupNames();
  }
  wxauto::WindowMessages GetAllMessage() override {
    watch();
    return inner_->GetAllMessage();
  }
  void LoadMoreMessage() override {
    watch();
    inner_->LoadMoreMessage();
  }
  std::vector<std::string> GetGroupMembers() override {
    watch();
    return inner_->GetGroupMembers();
  }
  void SendMsg(const std::string& text, const std::string& who, const std::optional<std::string>& at) override {
    watch();
    inner_->SendMsg(text, who, at);
  }

 private:
  void watch() {
    auto current = current_listening_thread();
    std::lock_guard guard(mu_);
    if (current && current->is_this_thread() && std::find(drivers_.begin(), drivers_.end(), current) == drivers_.end())
      drivers_.push_back(current);
    for (const auto& other : drivers_)
      if (!other->is_this_thread() && other->running()) ++overlaps_;
  }

  std::shared_ptr<wxauto::WeChat> inner_;
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<ListeningThread>> drivers_;  // guarded by mu_
  int overlaps_ = 0;                                       // guarded by mu_
  std::vector<double> poll_times_;                         // guarded by mu_
  std::vector<Json> answers_;                              // guarded by mu_
};

class WatchedListeningTest : public ListeningTest {
 protected:
  void SetUp() override {
    ListeningTest::SetUp();
    client->add_group("G", {{"Alice", std::nullopt}});
    config.groupName_list.set({"G"});
    wx = std::make_shared<WatchedWeChat>(config.wx.get());
    config.wx.set(wx);
  }

  std::shared_ptr<WatchedWeChat> wx;
};

// Starting listening again, from the host's thread or from a handler on the
// listening thread itself, never lets two threads drive the client: the
// history synchronisation and the page switch wait until the thread still
// listening has ended, and so does the new thread's first poll.
TEST_F(WatchedListeningTest, StartingListeningAgainNeverLetsTwoThreadsDriveTheClient) {
  client->post_private("Erin", "在吗");
  std::atomic<int> entered{0};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    ++entered;
    co_await timing::async_sleep(86400);
  });
  start_listening_msg();
  auto first = current_listening_thread();
  wx->enlist(first);
  ASSERT_TRUE(eventually([&] { return entered.load() == 1; }));

  // From the host's thread.
  start_listening_msg();
  auto second = current_listening_thread();
  wx->enlist(second);
  EXPECT_NE(second, first);
  EXPECT_FALSE(first->running());
  EXPECT_TRUE(ended_by_cancellation(first->error()));

  // From a handler of the listening thread: that thread goes on until its
  // next wait, which the handler puts off until the new thread has had
  // every chance to poll.
  std::atomic<bool> restarted{false};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    if (restarted.exchange(true)) co_return;
    start_listening_msg();
    const auto polls = wx->poll_times().size();
    for (int i = 0; i < 300 && wx->poll_times().size() == polls; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    co_return;
  });
  client->post_private("Erin", "再来");
  ASSERT_TRUE(eventually([&] { return restarted.load() && current_listening_thread() != second; }));
  auto third = current_listening_thread();
  ASSERT_TRUE(eventually([&] { return !second->running(); }));
  const auto polls = wx->poll_times().size();
  ASSERT_TRUE(eventually([&] { return wx->poll_times().size() > polls; }));
  EXPECT_TRUE(third->running());
  EXPECT_EQ(wx->overlaps(), 0);
}

// The listening thread carries its name, as far as the platform keeps it
// (15 bytes on Linux).
TEST_F(ListeningTest, TheListeningThreadIsNamed) {
  client->post_private("Erin", "在吗");
  std::string name;
  std::atomic<bool> seen{false};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    char buffer[64] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    name = buffer;
    seen = true;
    co_return;
  });
  start_listening_thread();
  ASSERT_TRUE(eventually([&] { return seen.load(); }));
  EXPECT_EQ(name, std::string(kListeningThreadName).substr(0, 15));
}

// Cycles are 2 seconds of clock time apart: not less, and not much more
// than the clock moves while a cycle's own work (here a private chat with an
// instant handler) is done. The clock is moved on by hand in quarter
// seconds.
TEST_F(WatchedListeningTest, PollsAreTwoSecondsOfClockTimeApart) {
  set_deal_private_msg([](std::string, std::string) -> awaitable<void> { co_return; });
  wx->answer_polls(std::vector<Json>(6, Json{{"chat_type", "friend"}, {"chat_name", "Erin"}, {"msg", "在吗"}}));
  // Just above real speed, so that waits look at the clock every
  // millisecond and see each step at once.
  timing::set_scale(1.01);
  start_listening_thread();
  while (wx->poll_times().size() < 5) {
    ASSERT_TRUE(current_listening_thread()->running()) << log();
    timing::advance(0.25);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop_listening();
  timing::reset();
  const auto times = wx->poll_times();
  for (std::size_t i = 1; i < times.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_GE(times[i] - times[i - 1], 2.0);
  }
}

// A null poll is nothing new, said at debug level; a chat without a name is
// not handed to a handler under a made-up one.
TEST_F(WatchedListeningTest, ANullPollOrOneWithoutAChatNameReachesNoHandler) {
  logger()->set_level(spdlog::level::debug);
  std::atomic<int> handled{0};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    ++handled;
    co_return;
  });
  set_deal_group_msg([&](Message) -> awaitable<void> {
    ++handled;
    co_return;
  });
  wx->answer_polls({Json(nullptr), Json{{"chat_type", "friend"}, {"msg", "x"}},
                    Json{{"chat_type", "group"}, {"chat_name", nullptr}, {"msg", "y"}}});
  timing::set_scale(1000);
  start_listening_thread();
  ASSERT_TRUE(eventually([&] { return wx->poll_times().size() >= 4; }));
  stop_listening();
  timing::reset();
  logger()->set_level(spdlog::level::info);
  EXPECT_EQ(handled, 0);
  EXPECT_EQ(count_of(log(), "debug GetNextNewMessage 返回 null，按无新消息处理"), 1) << log();
  EXPECT_EQ(count_of(log(), "warning 轮询结果缺少会话名，不分发"), 2) << log();
  EXPECT_EQ(count_of(log(), kCrash), 0);
  EXPECT_TRUE(config.db.get()->get_all_messages(AllQuery{.group_name = "None"}).empty());
}

// Runs what `make` makes, keeping `make` and its captures alive meanwhile.
awaitable<void> keep(std::function<awaitable<void>()> make) {
  co_await make();
}

// At shutdown every task on the listening loop ends: one a handler started
// through spawn_listening_task is cancelled (and its cancellation is no
// failure to log); a wait for a value that another task started on the loop
// unregistered ends with TaskDropped, its task never having run; and what
// such a task waits on otherwise is destroyed on the listening thread.
TEST_F(ListeningTest, ShutdownEndsEveryTaskOnTheListeningLoop) {
  client->add_group("G", {{"Alice", std::nullopt}});
  client->post_private("Erin", "在吗");
  std::atomic<bool> reminder_cancelled{false}, dropped{false};
  std::atomic<int> reminder_started{0};
  std::thread::id listening_id, destroyed_on;
  struct NoteDestruction {
    std::thread::id* where;
    ~NoteDestruction() { *where = std::this_thread::get_id(); }
  };
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    listening_id = std::this_thread::get_id();
    spawn_listening_task("reminder", [&]() -> awaitable<void> {
      ++reminder_started;
      try {
        co_await timing::async_sleep(86400);
      } catch (const boost::system::system_error&) {
        reminder_cancelled = true;
        throw;
      }
    });
    auto executor = co_await boost::asio::this_coro::executor;

    boost::asio::co_spawn(executor, keep([&]() -> awaitable<void> {
                            NoteDestruction note{&destroyed_on};
                            co_await timing::async_sleep(86400);
                          }),
                          boost::asio::detached);
    // Let the reminder start before listening fails.
    while (reminder_started == 0) co_await timing::async_sleep(0.001);
    // Started now, this task puts its request on the queue only after the
    // consumer has been cancelled.
    boost::asio::co_spawn(executor, keep([&]() -> awaitable<void> {
                            try {
                              co_await robot::wx_get_group_memberlist("G");
                            } catch (const TaskDropped&) {
                              dropped = true;
                            }
                          }),
                          boost::asio::detached);
    throw ValueError("handler broke");
  });
  auto thread = start_listening_thread();
  wait_for_end(thread);

  EXPECT_EQ(reminder_started, 1);
  EXPECT_TRUE(reminder_cancelled);
  EXPECT_EQ(count_of(log(), "reminder ended"), 0) << log();
  EXPECT_TRUE(dropped);
  EXPECT_TRUE(config.task_futures.items().empty());
  EXPECT_EQ(destroyed_on, listening_id);
  for (const auto& action : client->actions()) EXPECT_NE(action.kind, "GetGroupMembers");
}

// Work handed to a listening loop that is not running is not started, and
// says so.
TEST_F(ListeningTest, AListeningTaskIsNotStartedWithoutListening) {
  std::atomic<bool> started{false};
  auto task = [&]() -> awaitable<void> {
    started = true;
    co_return;
  };
  spawn_listening_task("early", task);
  client->post_private("Erin", "在吗");
  set_deal_private_msg([](std::string, std::string) -> awaitable<void> {
    throw ValueError("stop");
    co_return;
  });
  auto thread = start_listening_thread();
  wait_for_end(thread);
  spawn_listening_task("late", task);
  EXPECT_FALSE(started);
  EXPECT_EQ(count_of(log(), "error [conductor] 监听未运行，任务未启动: early"), 1) << log();
  EXPECT_EQ(count_of(log(), "error [conductor] 监听未运行，任务未启动: late"), 1) << log();
}

// The log of a run split into its cycles (each begins with "----------").
std::vector<std::string> cycles_of(const std::string& log) {
  std::vector<std::string> cycles;
  const std::string mark = "info ----------\n";
  for (auto at = log.find(mark); at != std::string::npos;) {
    auto next = log.find(mark, at + mark.size());
    cycles.push_back(
        log.substr(at + mark.size(), next == std::string::npos ? std::string::npos : next - at - mark.size()));
    at = next;
  }
  return cycles;
}

// Each kind of poll result goes its own way: a group chat to window
// processing, a private chat to its handler and one stored record, another
// kind of chat to the member check alone, and an idle cycle to the member
// watch and then the member check.
TEST_F(ListeningTest, EachPollResultIsDispatchedByItsChatType) {
  client->add_group("G", {{"Alice", std::nullopt}});
  client->add_chat("订阅号助手", "official");
  config.groupName_list.set({"G"});
  config.firstCheckGroup.set("G", true);
  // Polled newest first: the group, then the friend, then the other kind.
  client->post_private("订阅号助手", "订阅消息");
  client->post_private("Erin", "在吗");
  client->post_text("G", "Alice", "hi");

  std::string stored_before_handler = "unset";
  set_deal_private_msg([&](std::string chat, std::string id) -> awaitable<void> {
    stored_before_handler = config.db.get()->get_all_messages(AllQuery{.group_name = chat}).empty() ? "no" : "yes";
    logger()->info("private:{}:{}", chat, id);
    co_return;
  });
  set_deal_group_msg([&](Message m) -> awaitable<void> {
    logger()->info("group:{}:{}", m.position, m.content);
    co_return;
  });
  start_listening_group_members([]() -> awaitable<void> {
    logger()->info("watch");
    co_return;
  });
  auto thread = start_listening_thread();
  ASSERT_TRUE(eventually([&] { return cycles_of(log()).size() >= 5 || !thread->running(); }));
  ASSERT_TRUE(thread->running()) << log();
  stop_listening();

  const auto cycles = cycles_of(log());
  struct Expect {
    std::vector<std::string> in_order;
    std::vector<std::string> absent;
  };
  const std::vector<Expect> expected = {
      {{"新消息：会话: G-消息类型: group-消息内容：hi", "group:G:hi"}, {"watch", "轮询到群"}},
      {{"新消息：会话: Erin-消息类型: friend-消息内容：在吗", "private:Erin:wx"}, {"watch", "轮询到群"}},
      {{"新消息：会话: 订阅号助手-消息类型: official-消息内容：订阅消息", "轮询到群G"},
       {"watch", "private:", "group:"}},
      {{"watch", "新一轮轮询"}, {"新消息", "private:", "group:"}},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("cycle " + std::to_string(i + 1) + ":\n" + cycles[i]);
    std::size_t at = 0;
    for (const auto& part : expected[i].in_order) {
      at = cycles[i].find(part, at);
      ASSERT_NE(at, std::string::npos) << part;
    }
    for (const auto& part : expected[i].absent) EXPECT_EQ(cycles[i].find(part), std::string::npos) << part;
  }

  EXPECT_EQ(stored_before_handler, "no");
  const auto rows = config.db.get()->get_all_messages(AllQuery{.group_name = "Erin"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["type"], "private");
  EXPECT_EQ(rows[0]["content"], "私聊消息");
  EXPECT_EQ(rows[0]["sender"], "Erin");
  EXPECT_EQ(rows[0]["have_checked"], "true");
  EXPECT_NE(cycles[1].find("private:Erin:" + rows[0]["msg_id"].get<std::string>()), std::string::npos);
  EXPECT_TRUE(config.db.get()->get_all_messages(AllQuery{.group_name = "订阅号助手"}).empty());
}

TEST_F(ListeningTest, AHandlerReplacedWhileListeningTakesTheNextEvent) {
  client->add_friend("Frank");
  std::atomic<int> first{0}, second{0};
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    ++first;
    co_return;
  });
  start_listening_thread();
  client->post_private("Erin", "一");
  ASSERT_TRUE(eventually([&] { return first.load() == 1; }));
  set_deal_private_msg([&](std::string, std::string) -> awaitable<void> {
    ++second;
    co_return;
  });
  client->post_private("Frank", "二");
  ASSERT_TRUE(eventually([&] { return second.load() == 1; }));
  EXPECT_EQ(first, 1);
}

}  // namespace
}  // namespace orvanta::conductor::testing
