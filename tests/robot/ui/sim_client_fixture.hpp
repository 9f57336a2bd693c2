#pragma once

// A simulated client bound as the platform, its driver as config.wx, a fresh
// store as config.db, and standard output and the log captured, for the
// client actions' tests.

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "support/temp_dir.hpp"

namespace orvanta::testing {

class SimClientTest : public ::testing::Test {
 protected:
  // Options of the client made for each test.
  virtual sim::SimOptions options() { return {}; }

  void SetUp() override {
    client_ = sim::make_sim_client(options());
    client_->bind_platform();
    config.wx.set(client_->driver()->MakeWeChat());
    // A fresh store file each time, so a table-driven test may start over.
    config.db.set(sqlite::open_message_db(dir_.file("wxChat" + std::to_string(++stores_) + ".db")));
    log_.str("");
    captured_ = false;
    log_sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_);
    log_sink_->set_pattern("%l %v");
    logger()->sinks().push_back(log_sink_);
    ::testing::internal::CaptureStdout();
  }

  void TearDown() override {
    if (!captured_) ::testing::internal::GetCapturedStdout();
    auto& sinks = logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), log_sink_), sinks.end());
    config.reset();
    platform.reset();
  }

  // The lines printed so far; ends the capture.
  std::vector<std::string> printed() {
    captured_ = true;
    std::istringstream in(::testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::string logged() const { return log_.str(); }

  // The kinds of the client's recorded actions that are `kind`.
  std::size_t count_actions(const std::string& kind) const {
    auto actions = client_->actions();
    return std::count_if(actions.begin(), actions.end(), [&](const sim::Action& a) { return a.kind == kind; });
  }

  TempDir dir_;
  std::shared_ptr<sim::SimClient> client_;
  std::ostringstream log_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> log_sink_;
  bool captured_ = false;
  int stores_ = 0;
};

}  // namespace orvanta::testing
