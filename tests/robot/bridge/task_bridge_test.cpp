#include "orvanta/robot/task_bridge.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/loop_handle.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::robot {
namespace {

using boost::asio::awaitable;

constexpr const char* kDropLine = "[robot] 子线程循环未就绪，丢弃任务";

// Collects what is logged through the shared logger while it lives.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(text_)) {
    sink_->set_pattern("%l %v");
    logger()->sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
  std::string text() {
    sink_->flush();
    return text_.str();
  }
  int count(const std::string& needle) {
    const std::string all = text();
    int n = 0;
    for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  std::ostringstream text_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

// Runs `task` on a fresh loop of this thread to its end and gives its
// outcome.
template <class T>
T run_to_end(awaitable<T> task) {
  boost::asio::io_context loop;
  std::optional<T> value;
  std::exception_ptr error;
  boost::asio::co_spawn(loop, std::move(task), [&](std::exception_ptr e, T v) {
    error = e;
    if (!e) value = std::move(v);
  });
  loop.run();
  if (error) std::rethrow_exception(error);
  return std::move(*value);
}

// A stand-in for the listening thread: a loop run by its own thread, with
// its handle and queue published in config, and a consumer that answers the
// value-returning tasks with `answer`.
class FakeListener {
 public:
  using Answer = std::function<void(const TaskRecord&)>;

  explicit FakeListener(Answer answer) : context_(std::make_shared<boost::asio::io_context>(1)) {
    handle_ = LoopHandle::make(context_);
    queue_ = std::make_shared<TaskQueue>(handle_);
    config.wx_task_loop.set(handle_);
    config.wx_task_queue.set(queue_);
    boost::asio::co_spawn(
        *context_,
        // The consumer's frame stays in the stopped loop: it must not own
        // the queue, which owns the handle, which owns the loop.
        [queue = queue_.get(), answer = std::move(answer)]() -> awaitable<void> {
          for (;;) answer(co_await queue->get());
        },
        [](std::exception_ptr) {});
    thread_ = std::thread([this] { context_->run(); });
  }
  ~FakeListener() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    context_->stop();
    thread_.join();
    handle_->close();
    queue_->close();
    // The handle let go of the loop: the queue's timer must go before it.
    queue_->release_loop();
  }

 private:
  std::shared_ptr<boost::asio::io_context> context_;
  std::shared_ptr<LoopHandle> handle_;
  std::shared_ptr<TaskQueue> queue_;
  std::thread thread_;
};

class TaskBridge : public ::testing::Test {
 protected:
  void SetUp() override { config.reset(); }
  void TearDown() override {
    config.reset();
    set_task_wait_seconds(60);
  }
};

TEST(LoopHandleTest, WorkRunsInOrderOnTheLoopOrFailsOnceWhenItStopped) {
  auto context = std::make_shared<boost::asio::io_context>(1);
  auto handle = LoopHandle::make(context);
  std::vector<int> ran;
  std::atomic<int> failed{0};
  auto submit = [&](int i) {
    return handle->post([&ran, i] { ran.push_back(i); },
                        [&failed](std::exception_ptr e) {
                          EXPECT_THROW(std::rethrow_exception(e), LoopStopped);
                          ++failed;
                        });
  };
  // Two threads hand over work while the loop is not running yet; the loop
  // then runs it in each thread's order.
  std::thread a([&] {
    for (int i = 0; i < 500; ++i) EXPECT_TRUE(submit(i));
  });
  std::thread b([&] {
    for (int i = 1000; i < 1500; ++i) EXPECT_TRUE(submit(i));
  });
  a.join();
  b.join();
  context->run();
  ASSERT_EQ(ran.size(), 1000u);
  std::vector<int> from_a, from_b;
  for (int i : ran) (i < 1000 ? from_a : from_b).push_back(i);
  EXPECT_TRUE(std::is_sorted(from_a.begin(), from_a.end()));
  EXPECT_TRUE(std::is_sorted(from_b.begin(), from_b.end()));

  // Work handed to a loop that will not run again fails when the handle is
  // closed, and later work fails at once, on the submitter's thread.
  context->restart();
  EXPECT_TRUE(submit(7));
  handle->close();
  EXPECT_EQ(failed, 1);
  EXPECT_FALSE(submit(8));
  EXPECT_EQ(failed, 2);
  context->run();
  EXPECT_EQ(ran.size(), 1000u);
}

TEST_F(TaskBridge, RecordsCarryExactlyTheirKwargsInSubmissionOrder) {
  auto context = std::make_shared<boost::asio::io_context>(1);
  auto handle = LoopHandle::make(context);
  auto queue = std::make_shared<TaskQueue>(handle);
  config.wx_task_loop.set(handle);
  config.wx_task_queue.set(queue);

  wx_send_msg("C", "W");
  wx_send_private_msg("C", "W");
  wx_reply_with_quote("m1", "R", "G", "Alice");
  wx_send_msg("C2", "W2", "Bob");
  _put_task("anything", Json{{"x", 1}});
  context->run();

  const std::vector<std::pair<std::string, Json>> expected = {
      {"SendMsg", Json{{"content", "C"}, {"who", "W"}, {"at", nullptr}}},
      {"SendMsg", Json{{"content", "C"}, {"who", "W"}}},
      {"reply_with_quote", Json{{"msg_id", "m1"}, {"reply_text", "R"}, {"chat_name", "G"}, {"at", "Alice"}}},
      {"SendMsg", Json{{"content", "C2"}, {"who", "W2"}, {"at", "Bob"}}},
      {"anything", Json{{"x", 1}}},
  };
  ASSERT_EQ(queue->size(), expected.size());
  context->restart();
  auto taken = run_to_end([&]() -> awaitable<std::vector<TaskRecord>> {
    std::vector<TaskRecord> records;
    for (std::size_t i = 0; i < expected.size(); ++i) records.push_back(co_await queue->get());
    co_return records;
  }());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(taken[i].action, expected[i].first) << i;
    EXPECT_EQ(taken[i].kwargs, expected[i].second) << i;
  }
}

// Submissions before listening started and after it stopped are refused
// alike: one logged line per call, and a value-returning wait ends at once
// with TaskDropped and leaves no entry behind.
TEST_F(TaskBridge, SubmissionsWithoutARunningListeningLoopAreDroppedAndTheirWaitsFail) {
  for (const bool stopped_listener : {false, true}) {
    SCOPED_TRACE(stopped_listener ? "after listening stopped" : "before listening started");
    std::optional<FakeListener> listener;
    if (stopped_listener) {
      listener.emplace([](const TaskRecord&) { FAIL() << "a refused task ran"; });
      listener->stop();
    }
    LogCapture log;
    wx_send_msg("a", "b");
    wx_send_private_msg("a", "b");
    wx_reply_with_quote("m", "r", "g");
    EXPECT_THROW(run_to_end(wx_get_group_memberlist("g")), TaskDropped);
    EXPECT_THROW(run_to_end(wx_get_img_md5("[图片]")), TaskDropped);
    EXPECT_EQ(log.count(kDropLine), 5);
    EXPECT_EQ(config.task_futures.size(), 0u);
  }
}

// A record still queued when the loop stops fails its waiter.
TEST_F(TaskBridge, WaitsOfTasksLeftInTheQueueFailWhenTheLoopStops) {
  std::atomic<bool> queued{false};
  auto context = std::make_shared<boost::asio::io_context>(1);
  auto handle = LoopHandle::make(context);
  auto queue = std::make_shared<TaskQueue>(handle);
  config.wx_task_loop.set(handle);
  config.wx_task_queue.set(queue);
  // The fast clock must not end the wait first, however slowly the
  // listener thread is scheduled.
  set_task_wait_seconds(1e9);
  // Without work the loop would stop before the record is handed to it.
  auto work = boost::asio::make_work_guard(*context);
  std::thread listener([&] {
    // Runs the loop until the record is queued, then stops as the
    // listening thread does.
    while (queue->size() == 0) context->run_one_for(std::chrono::milliseconds(1));
    queued = true;
    handle->close();
    queue->close();
    queue->release_loop();
  });
  LogCapture log;
  EXPECT_THROW(run_to_end(wx_get_group_memberlist("g")), TaskDropped);
  listener.join();
  EXPECT_TRUE(queued);
  EXPECT_EQ(log.count(kDropLine), 1);
  EXPECT_EQ(config.task_futures.size(), 0u);
}

// How a value-returning wait ends for each answer of the consumer.
TEST_F(TaskBridge, ValueReturningWaitsEndWithTheAnswerTheErrorOrTheTimeLimit) {
  struct Case {
    const char* name;
    std::function<void(TaskFuture&)> answer;  // null: never answers
    std::function<void(awaitable<std::optional<std::vector<std::string>>>)> expect;
  };
  using Members = std::optional<std::vector<std::string>>;
  const std::vector<Case> cases = {
      {"list",
       [](TaskFuture& f) {
         f.set_result(Json::array({"Alice", "Bob"}));
       },
       [](auto task) {
         EXPECT_EQ(run_to_end(std::move(task)), Members(std::vector<std::string>{"Alice", "Bob"}));
       }},
      {"nothing", [](TaskFuture& f) { f.set_result(nullptr); },
       [](auto task) { EXPECT_EQ(run_to_end(std::move(task)), std::nullopt); }},
      {"not a list", [](TaskFuture& f) { f.set_result(42); },
       [](auto task) { EXPECT_THROW(run_to_end(std::move(task)), TypeError); }},
      {"action failed", [](TaskFuture& f) { f.set_exception(std::make_exception_ptr(LookupError("no such group"))); },
       [](auto task) { EXPECT_THROW(run_to_end(std::move(task)), LookupError); }},
      {"no answer", nullptr, [](auto task) { EXPECT_THROW(run_to_end(std::move(task)), TaskTimeout); }},
  };
  // Long enough that only the clock moved on purpose ends a wait.
  constexpr double kLimit = 600;
  set_task_wait_seconds(kLimit);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> seen_ids;
    FakeListener listener([&](const TaskRecord& record) {
      const std::string id = record.kwargs.at("task_id");
      seen_ids.push_back(id);
      // Completed twice: the second completion is dropped.
      auto future = config.task_futures.take(id);
      ASSERT_NE(future, nullptr);
      if (c.answer) {
        c.answer(*future);
        future->set_result(Json::array({"late"}));
      } else {
        timing::advance(kLimit + 1);  // the wait runs out only now
      }
    });
    c.expect(wx_get_group_memberlist("g"));
    listener.stop();
    ASSERT_EQ(seen_ids.size(), 1u);
    EXPECT_EQ(seen_ids[0].size(), 32u);
    EXPECT_EQ(seen_ids[0].find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(config.task_futures.size(), 0u);
  }
}

TEST_F(TaskBridge, AnUnansweredWaitLeavesTheMappingAtItsLimit) {
  set_task_wait_seconds(600);
  std::atomic<std::size_t> entries_while_waiting{0};
  FakeListener listener([&](const TaskRecord&) {
    entries_while_waiting = config.task_futures.size();
    timing::advance(601);
  });
  EXPECT_THROW(run_to_end(wx_get_img_md5("[图片]")), TaskTimeout);
  EXPECT_EQ(entries_while_waiting, 1u);
  EXPECT_EQ(config.task_futures.size(), 0u);
  for (double bad : {0.0, -1.0, std::nan("")}) EXPECT_THROW(set_task_wait_seconds(bad), ValueError) << bad;
  EXPECT_NO_THROW(set_task_wait_seconds(std::numeric_limits<double>::infinity()));
}

TEST_F(TaskBridge, LatestMsgQuoteFindsTheQuotedRowByTextOrByPictureKey) {
  testing::TempDir dir;
  config.db.set(sqlite::open_message_db((dir.path() / "wxChat.db").string()));
  auto row = [](std::string group, std::string content, std::string id, std::string md5) {
    return Json{{"group_name", group},
                {"type", "text"},
                {"content", content},
                {"sender", "Alice"},
                {"timestamp", "2024-1-1-0:0:0"},
                {"msg_id", id},
                {"quote_id", ""},
                {"quote_content", ""},
                {"recall_id", ""},
                {"image_url", ""},
                {"have_checked", "true"},
                {"status", ""},
                {"img_md5", md5}};
  };
  config.db.get()->insert_messages(row("G", "hello", "old", ""));
  config.db.get()->insert_messages(row("G", "hello", "new", ""));
  config.db.get()->insert_messages(row("H", "hello", "other-group", ""));
  config.db.get()->insert_messages(row("G", "[图片]", "pic", "k1"));

  struct Case {
    Json send_data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"quote_content", "hello"}, {"content", "x"}, {"position", "G"}}, "new"},
      {{{"quote_content", "absent"}, {"content", "x"}, {"position", "G"}}, ""},
      {{{"quote_content", "[图片]"}, {"content", "[图片]"}, {"position", "G"}}, "pic"},
      {{{"quote_content", "[图片]"}, {"content", "unknown picture"}, {"position", "G"}}, ""},
  };
  // Picture keys come from the listening thread; texts never go there.
  std::atomic<int> picture_tasks{0};
  FakeListener listener([&](const TaskRecord& record) {
    ++picture_tasks;
    EXPECT_EQ(record.action, "get_img_md5");
    auto future = config.task_futures.take(record.kwargs.at("task_id"));
    future->set_result(record.kwargs.at("content") == "[图片]" ? Json("k1") : Json(nullptr));
  });
  for (const auto& c : cases) EXPECT_EQ(run_to_end(get_latest_msg_quote(c.send_data)), c.expected) << c.send_data;
  EXPECT_EQ(picture_tasks, 2);
  EXPECT_THROW(run_to_end(get_latest_msg_quote(Json{{"quote_content", "hello"}, {"content", "x"}})), AttributeError);
}

TEST(LogException, LogsTheMessageThenTheKindAndText) {
  LogCapture log;
  try {
    throw TypeError("bad kwargs");
  } catch (...) {
    log_exception("[wx-task] 执行失败: bad kwargs");
  }
  EXPECT_EQ(log.text(), "error [wx-task] 执行失败: bad kwargs\norvanta::TypeError: bad kwargs\n");
}

}  // namespace
}  // namespace orvanta::robot
