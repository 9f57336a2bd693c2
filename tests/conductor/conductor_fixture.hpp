#pragma once

// What the conductor tests share: the simulated client bound as the
// platform, a store in a directory of the test's own, the shared logger and
// standard output captured, and every slot and attribute put back at the
// end.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/task_bridge.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "orvanta/ws_client.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::conductor::testing {

// Counts occurrences of `needle` in `text`.
inline int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Waits until `done()` holds, giving up after 30 s of real time so that a
// fault shows as a failed expectation rather than a hung test.
template <class Pred>
bool eventually(Pred done) {
  for (int i = 0; i < 30000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// Keeps what is logged, readable from any thread while others log.
class LogLines final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::string text() {
    std::lock_guard guard(mutex_);
    return text_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const auto level = spdlog::level::to_string_view(msg.level);
    text_.append(level.data(), level.size());
    text_ += ' ';
    text_.append(msg.payload.data(), msg.payload.size());
    text_ += '\n';
  }
  void flush_() override {}

 private:
  std::string text_;
};

// The host's server connection, recording what is done to it.
class FakeWsClient final : public WsClient {
 public:
  bool ws() const override { return open; }
  boost::asio::awaitable<void> send(std::string) override { co_return; }
  void close_soon() override { ++close_requests; }

  std::atomic<bool> open{true};
  std::atomic<int> close_requests{0};
};

class ConductorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config.reset();
    sim::SimOptions options;
    options.nickname = "群管助手";
    // After start-up only the listening thread drives the client.
    options.strict_threads = true;
    client = sim::make_sim_client(options);
    client->bind_platform();
    config.wx.set(client->driver()->MakeWeChat());
    config.my_wxName.set(options.nickname);
    config.db.set(sqlite::open_message_db(dir.file("wxChat.db")));
    log_sink = std::make_shared<LogLines>();
    logger()->sinks().push_back(log_sink);
    ::testing::internal::CaptureStdout();
  }

  void TearDown() override {
    stop_listening();
    for (const auto& v : client->thread_violations()) ADD_FAILURE() << v.message;
    if (!stdout_taken) printed();
    auto& sinks = logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), log_sink), sinks.end());
    robot::deal_group_msg = robot::default_deal_group_msg;
    robot::deal_private_msg = robot::default_deal_private_msg;
    robot::group_increase_func = robot::default_group_increase_func;
    robot::handle_message_recall = robot::default_handle_message_recall;
    robot::reply = nullptr;
    deal_group_members = default_deal_group_members;
    robot::set_task_wait_seconds(60);
    config.reset();
    platform.reset();
  }

  // Stops the listening thread, if any, and waits for its end.
  void stop_listening() {
    if (auto thread = current_listening_thread()) {
      thread->stop();
      EXPECT_TRUE(eventually([&] { return !thread->running(); }));
      thread->join();
    }
  }

  std::string log() { return log_sink->text(); }

  // What was printed since SetUp; standard output is not captured after
  // this. Failures reported while it was captured are printed in it, so they
  // are passed on to standard error.
  std::string printed() {
    stdout_taken = true;
    std::string text = ::testing::internal::GetCapturedStdout();
    if (HasFailure()) std::cerr << text;
    return text;
  }

  orvanta::testing::TempDir dir;
  std::shared_ptr<sim::SimClient> client;
  std::shared_ptr<LogLines> log_sink;
  bool stdout_taken = false;
};

}  // namespace orvanta::conductor::testing
