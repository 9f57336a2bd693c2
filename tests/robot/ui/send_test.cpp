#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/fetching.hpp"
#include "orvanta/ws_client.hpp"

namespace orvanta::robot {
namespace {

// A server link that records what it is asked to send and, when told to,
// fails the send after a pause.
class FakeWsClient final : public WsClient {
 public:
  bool ws() const override { return true; }
  boost::asio::awaitable<void> send(std::string text) override {
    co_await timing::async_sleep(0.01);
    if (fail_) throw std::runtime_error("connection closed");
    sent_.push_back(std::move(text));
  }
  void close_soon() override {}

  void fail_sends() { fail_ = true; }
  const std::vector<std::string>& sent() const { return sent_; }

 private:
  bool fail_ = false;
  std::vector<std::string> sent_;
};

// Runs `send(record)` on a loop of its own and rethrows what it raised.
void run_send(Json record) {
  boost::asio::io_context loop;
  std::exception_ptr failure;
  boost::asio::co_spawn(loop, send(std::move(record)), [&](std::exception_ptr e) { failure = e; });
  loop.run();
  if (failure) std::rethrow_exception(failure);
}

class Send : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = std::make_shared<FakeWsClient>();
    config.ws_client.set(client_);
  }
  void TearDown() override { config.ws_client.reset(); }

  std::shared_ptr<FakeWsClient> client_;
};

TEST_F(Send, WritesChineseTextAsEscapesAndKeepsTheKeysInOrder) {
  Json record;
  record["type"] = "群消息";
  record["group"] = "群";
  record["at"] = Json::array({"张三", 2});
  record["ok"] = true;
  record["none"] = nullptr;
  run_send(record);
  ASSERT_EQ(client_->sent().size(), 1u);
  EXPECT_EQ(client_->sent()[0],
            "{\"type\": \"\\u7fa4\\u6d88\\u606f\", \"group\": \"\\u7fa4\", \"at\": [\"\\u5f20\\u4e09\", 2], "
            "\"ok\": true, \"none\": null}");
}

TEST_F(Send, TakesItsOwnCopyOfATemporaryRecord) {
  boost::asio::io_context loop;
  // The record is gone by the time the task runs.
  boost::asio::co_spawn(loop, send(Json{{"k", "v"}}), [](std::exception_ptr e) {
    if (e) std::rethrow_exception(e);
  });
  loop.run();
  ASSERT_EQ(client_->sent().size(), 1u);
  EXPECT_EQ(client_->sent()[0], "{\"k\": \"v\"}");
}

TEST_F(Send, AFailedSendReachesTheCaller) {
  client_->fail_sends();
  EXPECT_THROW(run_send(Json{{"k", 1}}), std::runtime_error);
  EXPECT_TRUE(client_->sent().empty());
}

TEST_F(Send, WithoutAConnectionRaisesAttributeError) {
  config.ws_client.reset();
  EXPECT_THROW(run_send(Json{{"k", 1}}), AttributeError);
}

TEST_F(Send, ARecordThatCannotBeWrittenIsNotSent) {
  EXPECT_THROW(run_send(Json{{"k", std::string("\xff")}}), ValueError);
  EXPECT_TRUE(client_->sent().empty());
}

}  // namespace
}  // namespace orvanta::robot
