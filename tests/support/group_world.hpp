#pragma once

// A listened group on the simulated client, with a store of its own, the
// handler slots replaced by recorders, and the log and standard output
// captured: the fixture of the tests of message processing.

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "orvanta/message.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::testing {

// Runs `task` to its end on a loop of its own and gives its result; its
// failure is raised here.
template <class T>
T run_awaitable(boost::asio::awaitable<T> task) {
  boost::asio::io_context loop;
  std::exception_ptr failure;
  std::optional<T> result;
  boost::asio::co_spawn(loop, std::move(task), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result = std::move(value);
  });
  loop.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

inline void run_awaitable(boost::asio::awaitable<void> task) {
  boost::asio::io_context loop;
  std::exception_ptr failure;
  bool finished = false;
  boost::asio::co_spawn(loop, std::move(task), [&](std::exception_ptr e) {
    failure = e;
    finished = true;
  });
  loop.run();
  if (failure) std::rethrow_exception(failure);
  if (!finished) throw std::logic_error("the task did not finish");
}

// A raw line with the given info, sender and picture bytes.
inline sim::RawLine raw_line(std::optional<Json> info, std::optional<std::string> sender = std::nullopt,
                             std::optional<std::string> bytes = std::nullopt) {
  sim::RawLine line;
  line.info = std::move(info);
  line.sender = std::move(sender);
  line.bytes = std::move(bytes);
  return line;
}

class GroupWorld : public ::testing::Test {
 protected:
  static constexpr const char* kGroup = "产品交流群";
  static constexpr const char* kAccount = "群管助手";

  void SetUp() override {
    config.reset();
    store = sqlite::open_message_db(dir.file("wxChat.db"));
    config.db.set(store);
    sim::SimOptions options;
    options.nickname = kAccount;
    options.files_dir = dir.path() / "files";
    // The system drives the client from one thread at a time.
    options.strict_threads = true;
    client = sim::make_sim_client(options);
    client->add_group(kGroup, {{"Alice", "A001"}, {"Bob", std::nullopt}, {"Carol", "C003"}});
    client->bind_platform();
    config.wx.set(client->driver()->MakeWeChat());
    config.my_wxName.set(kAccount);

    robot::deal_group_msg = [this](Message m) -> boost::asio::awaitable<void> {
      events.push_back("msg:" + m.content);
      group_msgs.push_back(std::move(m));
      co_return;
    };
    robot::group_increase_func = [this](std::string name, std::string group) -> boost::asio::awaitable<void> {
      events.push_back("join:" + name + "@" + group);
      co_return;
    };
    robot::handle_message_recall = [this](std::string msg_id, std::string group) -> boost::asio::awaitable<void> {
      events.push_back("recall:" + msg_id + "@" + group);
      co_return;
    };

    log_sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
    log_sink->set_pattern("%l %v");
    // The log goes to the test alone while it runs.
    saved_sinks = logger()->sinks();
    logger()->sinks() = {log_sink};
    ::testing::internal::CaptureStdout();
  }

  void TearDown() override {
    for (const auto& v : client->thread_violations()) ADD_FAILURE() << v.message;
    // Failure messages went to the captured output too: show them.
    const std::string output = stdout_text();
    if (HasFailure()) std::cerr << output;
    logger()->sinks() = saved_sinks;
    robot::deal_group_msg = robot::default_deal_group_msg;
    robot::group_increase_func = robot::default_group_increase_func;
    robot::handle_message_recall = robot::default_handle_message_recall;
    config.reset();
    platform.reset();
  }

  // What was printed so far (once; later calls give what came after).
  std::string stdout_text() {
    if (capturing) {
      printed += ::testing::internal::GetCapturedStdout();
      capturing = false;
    }
    return printed;
  }

  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(log.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool logged(const std::string& line) const {
    const auto lines = log_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // The group's rows, oldest first.
  Rows rows(const std::string& group = kGroup) { return store->get_all_messages(AllQuery{.group_name = group}); }

  // Makes the group one whose history is already synchronised.
  void mark_synchronised(const std::string& group = kGroup) { config.firstCheckGroup.set(group, true); }

  std::vector<std::string> action_kinds(const std::string& kind) const {
    std::vector<std::string> targets;
    for (const auto& a : client->actions())
      if (a.kind == kind) targets.push_back(a.target);
    return targets;
  }

  TempDir dir;
  std::shared_ptr<MessageDB> store;
  std::shared_ptr<sim::SimClient> client;
  std::vector<std::string> events;
  std::vector<Message> group_msgs;
  std::ostringstream log;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> log_sink;
  std::vector<spdlog::sink_ptr> saved_sinks;
  std::string printed;
  bool capturing = true;
};

}  // namespace orvanta::testing
