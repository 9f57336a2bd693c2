// One driving thread at a time: every record names its calling thread, and
// in strict mode a call made while another thread's call or control wait is
// in progress fails, naming both threads and both calls.

#include <thread>

#include <gtest/gtest.h>
#include <pthread.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;

// Runs `f` on a new thread named `name` and waits for its end; gives what
// it threw, if anything.
std::exception_ptr on_thread(const char* name, const std::function<void()>& f) {
  std::exception_ptr error;
  std::thread t([&] {
    pthread_setname_np(pthread_self(), name);
    try {
      f();
    } catch (...) {
      error = std::current_exception();
    }
  });
  t.join();
  return error;
}

std::string message_of(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class ThreadsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SimOptions options;
    options.strict_threads = GetParam();
    client = make_sim_client(options);
    client->add_group("G", {{"Alice", std::nullopt}});
    client->post_text("G", "Alice", "hello");
    wx = client->driver()->MakeWeChat();
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_P(ThreadsTest, EveryRecordNamesItsCallingThread) {
  std::thread::id listener_id;
  ASSERT_FALSE(on_thread("listener", [&] {
    listener_id = std::this_thread::get_id();
    wx->ChatWith("G");
  }));
  wx->GetAllMessage();
  auto actions = client->actions();
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0].kind, "ChatWith");
  EXPECT_EQ(actions[0].thread_name, "listener");
  EXPECT_EQ(actions[0].thread_id, listener_id);
  EXPECT_EQ(actions[1].thread_id, std::this_thread::get_id());
  // Taking turns, one after the other, is not driving at once.
  EXPECT_TRUE(client->thread_violations().empty());
}

TEST_P(ThreadsTest, ACallDuringAnotherThreadsControlWaitIsAnOverlap) {
  // While the main thread waits for a control that never comes, another
  // thread reads the messages.
  std::exception_ptr error;
  client->on_call("Exists", 1, [&] { error = on_thread("reloginer", [&] { wx->GetAllMessage(); }); });
  pthread_setname_np(pthread_self(), "driver");
  auto& uia = client->driver()->Uia();
  EXPECT_FALSE(uia.ButtonControl(Search{.Name = "不存在"})->Exists(0, 0));

  auto violations = client->thread_violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].call, "GetAllMessage");
  EXPECT_EQ(violations[0].other_call, "Exists");
  EXPECT_NE(violations[0].thread.find("reloginer"), std::string::npos);
  EXPECT_NE(violations[0].other_thread.find("driver"), std::string::npos);
  if (GetParam()) {
    // The error names both threads and both calls, and the call did nothing.
    std::string what = message_of(error);
    for (const char* part : {"reloginer", "driver", "GetAllMessage", "Exists"})
      EXPECT_NE(what.find(part), std::string::npos) << what;
    EXPECT_THROW(std::rethrow_exception(error), ThreadError);
    EXPECT_EQ(client->actions().size(), 0u);
  } else {
    EXPECT_FALSE(error);
    EXPECT_EQ(client->actions().size(), 1u);
  }

  // The wait is over: the other thread may drive now.
  EXPECT_FALSE(on_thread("reloginer", [&] { wx->ChatWith("G"); }));
  EXPECT_EQ(client->thread_violations().size(), 1u);
}

TEST_P(ThreadsTest, AFailedCallEndsItsTurnToo) {
  client->fail_on_call("ChatWith", 1);
  EXPECT_THROW(wx->ChatWith("G"), OSError);
  EXPECT_THROW(wx->ChatWith("nobody"), LookupError);
  EXPECT_FALSE(on_thread("other", [&] { wx->ChatWith("G"); }));
  EXPECT_TRUE(client->thread_violations().empty());
}

INSTANTIATE_TEST_SUITE_P(StrictAndLax, ThreadsTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Strict" : "Lax"; });

TEST(ThreadsScenarioTest, AScenarioCanTurnStrictModeOnAndTheClientCanTurnItOff) {
  auto client = make_sim_client();
  client->add_group("G", {});
  client->load_scenario(Json::parse(R"({"options": {"strict_threads": true}})"));
  auto wx = client->driver()->MakeWeChat();
  std::exception_ptr error;
  client->on_call("ChatWith", 1, [&] { error = on_thread("second", [&] { wx->GetAllMessage(); }); });
  wx->ChatWith("G");
  ASSERT_TRUE(error);
  EXPECT_THROW(std::rethrow_exception(error), ThreadError);
  client->set_strict_threads(false);
  client->on_call("ChatWith", 1, [&] { EXPECT_FALSE(on_thread("second", [&] { wx->GetAllMessage(); })); });
  wx->ChatWith("G");
  EXPECT_EQ(client->thread_violations().size(), 2u);
}

}  // namespace
}  // namespace orvanta::sim
