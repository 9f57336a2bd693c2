// The consumer of client tasks, on a listening loop the test runs itself.

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "conductor/conductor_fixture.hpp"
#include "orvanta/robot/loop_handle.hpp"

namespace orvanta::conductor::testing {
namespace {

using boost::asio::awaitable;

constexpr const char* kFailed = "error [wx-task] 执行失败: ";

class ConsumerTest : public ConductorTest {
 protected:
  void SetUp() override {
    ConductorTest::SetUp();
    client->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
    client->add_friend("Erin");
    context = std::make_shared<boost::asio::io_context>(1);
    handle = LoopHandle::make(context);
    queue = std::make_shared<TaskQueue>(handle);
    config.wx_task_loop.set(handle);
    config.wx_task_queue.set(queue);
    boost::asio::co_spawn(
        *context, process_wx_tasks(),
        boost::asio::bind_cancellation_slot(cancel.slot(), [this](std::exception_ptr) { consumer_ended = true; }));
  }

  void TearDown() override {
    cancel.emit(boost::asio::cancellation_type::terminal);
    serve();
    EXPECT_TRUE(consumer_ended);
    handle->close();
    queue->close();
    ConductorTest::TearDown();
  }

  // Runs what has been handed to the listening loop so far.
  void serve() {
    context->restart();
    context->poll();
  }

  std::shared_ptr<boost::asio::io_context> context;
  std::shared_ptr<LoopHandle> handle;
  std::shared_ptr<TaskQueue> queue;
  boost::asio::cancellation_signal cancel;
  bool consumer_ended = false;
};

TEST_F(ConsumerTest, SendsRunInSubmissionOrder) {
  robot::wx_send_msg("one", "G");
  robot::wx_send_private_msg("two", "Erin");
  robot::wx_send_msg("three", "G", "Alice");
  serve();
  const auto sent = client->sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].chat, "G");
  EXPECT_EQ(sent[0].text, "one");
  EXPECT_EQ(sent[0].at, std::nullopt);
  EXPECT_EQ(sent[1].chat, "Erin");
  EXPECT_EQ(sent[1].text, "two");
  EXPECT_EQ(sent[2].chat, "G");
  EXPECT_EQ(sent[2].at, "Alice");
  EXPECT_EQ(queue->size(), 0u);
}

// Every malformed record and every failing action is logged with its error
// and the consumer goes on; an unknown action is ignored without a word.
TEST_F(ConsumerTest, FailuresAreLoggedAndTheConsumerGoesOn) {
  struct Case {
    std::string action;
    Json kwargs;
    std::string logged;  // empty: nothing is logged
  };
  const std::vector<Case> cases = {
      {"SendMsg", Json{{"content", "x"}, {"who", "G"}, {"extra", 1}},
       "_real_send_msg() got an unexpected keyword argument 'extra'"},
      {"SendMsg", Json{{"content", "x"}}, "_real_send_msg() missing 1 required positional argument: 'who'"},
      {"SendMsg", Json::array({"x", "G"}), "_real_send_msg() argument after ** must be a mapping, not array"},
      {"SendMsg", Json{{"content", "x"}, {"who", 5}}, "_real_send_msg() argument 'who' must be str"},
      {"SendMsg", Json{{"content", "x"}, {"who", "无此会话"}}, ""},
      {"reply_with_quote", Json{{"msg_id", "m"}, {"reply_text", "r"}},
       "_real_reply_with_quote() missing 1 required positional argument: 'chat_name'"},
      {"get_group_memberlist", Json{{"task_id", "0123"}}, "'chat_name'"},
      {"get_img_md5", Json{{"task_id", "0123"}}, "'content'"},
      {"NoSuchAction", Json{{"content", "x"}, {"who", "G"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action + " " + c.kwargs.dump());
    const std::string before = log();
    robot::_put_task(c.action, c.kwargs);
    serve();
    const std::string added = log().substr(before.size());
    if (c.action == "NoSuchAction") {
      EXPECT_EQ(added, "");
    } else if (c.logged.empty()) {
      // The driver's own error (an unknown chat).
      EXPECT_EQ(count_of(added, kFailed), 1) << added;
    } else {
      EXPECT_EQ(count_of(added, kFailed + c.logged + "\n"), 1) << added;
    }
  }
  EXPECT_TRUE(client->sent().empty());
  robot::wx_send_msg("still here", "G");
  serve();
  ASSERT_EQ(client->sent().size(), 1u);
  EXPECT_EQ(client->sent()[0].text, "still here");
}

// The waiter of a value-returning task whose action fails receives that
// error at once instead of waiting out its limit.
TEST_F(ConsumerTest, TheWaiterOfAFailedActionReceivesItsError) {
  std::atomic<bool> done{false};
  std::exception_ptr error;
  std::thread host([&] {
    boost::asio::io_context loop;
    boost::asio::co_spawn(loop, robot::wx_get_group_memberlist("无此群"),
                          [&](std::exception_ptr e, std::optional<std::vector<std::string>>) { error = e; });
    loop.run();
    done = true;
  });
  ASSERT_TRUE(eventually([&] {
    context->restart();
    context->run_one_for(std::chrono::milliseconds(1));
    return done.load();
  }));
  host.join();
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const TaskTimeout&) {
    ADD_FAILURE() << "waited out the limit";
  } catch (const TaskDropped&) {
    ADD_FAILURE() << "the task was dropped";
  } catch (const std::exception& e) {
    EXPECT_EQ(count_of(log(), kFailed + std::string(e.what())), 1) << log();
  }
  EXPECT_EQ(config.task_futures.size(), 0u);
}

// A member-list task whose waiter has gone (or never was) still reads and
// stores the list, and then does nothing more.
TEST_F(ConsumerTest, AMemberListTaskWithoutAFutureStillRuns) {
  robot::_put_task("get_group_memberlist", Json{{"chat_name", "G"}, {"task_id", std::string(32, 'a')}});
  serve();
  EXPECT_EQ(count_of(log(), kFailed), 0) << log();
  const auto stored = config.db.get()->get_group_member("G");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(Json::parse(*stored), Json::array({"Alice", "Bob"}));
}

// Host threads waiting at the same time each receive the answer to their own
// request.
TEST_F(ConsumerTest, ConcurrentMemberListWaitsFromTwoHostThreadsEachGetTheirOwnAnswer) {
  client->add_group("H", {{"Carol", std::nullopt}});
  constexpr int kRounds = 20;
  std::atomic<int> finished{0};
  std::vector<std::vector<std::string>> answers[2];
  auto host = [&](int which, std::string group) {
    boost::asio::io_context loop;
    boost::asio::co_spawn(
        loop,
        [&, which, group]() -> awaitable<void> {
          for (int i = 0; i < kRounds; ++i)
            answers[which].push_back((co_await robot::wx_get_group_memberlist(group)).value());
        },
        [&](std::exception_ptr e) {
          EXPECT_FALSE(e);
          ++finished;
        });
    loop.run();
  };
  std::thread a(host, 0, "G");
  std::thread b(host, 1, "H");
  ASSERT_TRUE(eventually([&] {
    context->restart();
    context->run_one_for(std::chrono::milliseconds(1));
    return finished.load() == 2;
  }));
  a.join();
  b.join();
  EXPECT_EQ(answers[0], std::vector<std::vector<std::string>>(kRounds, {"Alice", "Bob"}));
  EXPECT_EQ(answers[1], std::vector<std::vector<std::string>>(kRounds, {"Carol"}));
  EXPECT_EQ(config.task_futures.size(), 0u);
}

}  // namespace
}  // namespace orvanta::conductor::testing
