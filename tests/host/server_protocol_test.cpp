// Server messages turned into client actions, and the pacing of sends.

#include "server_protocol.hpp"

#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "host/loop_thread.hpp"
#include "orvanta/robot/timing.hpp"
#include "pacer.hpp"

namespace orvanta::host {
namespace {

using testing::eventually;
using testing::LoopThread;

// Every action asked of the client, as one line of text, in order.
class Recorder {
 public:
  void add(std::string line) {
    std::lock_guard guard(mu_);
    lines_.push_back(std::move(line));
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

std::string opt(const std::optional<std::string>& v) {
  return v ? *v : "-";
}

class Protocol : public ::testing::Test {
 protected:
  void SetUp() override {
    ClientActions actions;
    actions.send_text = [this](std::string content, std::string who, std::optional<std::string> at) {
      actions_.add("send " + who + " " + content + " " + opt(at));
    };
    actions.send_private = [this](std::string content, std::string who) {
      actions_.add("private " + who + " " + content);
    };
    actions.reply_with_quote = [this](std::string id, std::string text, std::string chat,
                                      std::optional<std::string> at) {
      actions_.add("quote " + chat + " " + id + " " + text + " " + opt(at));
    };
    actions.member_list = [this](std::string chat) -> boost::asio::awaitable<std::optional<std::vector<std::string>>> {
      actions_.add("members " + chat);
      if (chat == "broken") throw std::runtime_error("no such group");
      if (chat == "slow") {
        // A read that does not end while the test runs.
        boost::asio::steady_timer never(co_await boost::asio::this_coro::executor, std::chrono::hours(1));
        co_await never.async_wait(boost::asio::use_awaitable);
      }
      co_return std::vector<std::string>{"Alice", "Bob"};
    };
    actions.img_md5 = [this](std::string content) -> boost::asio::awaitable<std::optional<std::string>> {
      actions_.add("md5 " + content);
      co_return std::string(32, 'a');
    };
    actions.latest_quote = [this](Json send_data) -> boost::asio::awaitable<std::string> {
      actions_.add("lookup " + send_data.dump());
      co_return send_data["quote_content"] == "known" ? "wx1234001" : "";
    };
    actions.knows_message = [](const std::string&, const std::string& msg_id) { return msg_id != "wx-unknown"; };
    pacer_ = std::make_shared<Pacer>(loop_.loop(), PacingLimits{});
    protocol_ = std::make_unique<ServerProtocol>(
        loop_.loop(), actions, pacer_,
        [this](const std::string& id, const Json& record) { published_.add(id + " " + record.dump()); },
        [this](const std::string& id) { acks_.add(id); },
        [this](Json message) -> boost::asio::awaitable<void> {
          protocol_->reply(message);
          co_return;
        });
    loop_.call([&] {
      pacer_->start();
      return 0;
    });
  }
  void TearDown() override {
    loop_.call([&] {
      pacer_->stop();
      return 0;
    });
    loop_.stop();
  }

  void frame(const std::string& text) {
    loop_.call([&] {
      protocol_->on_frame(text);
      return 0;
    });
  }

  // The published records of one event, in order.
  std::vector<Json> records(const std::string& event) const {
    std::vector<Json> out;
    for (const auto& line : published_.lines()) {
      Json record = Json::parse(line.substr(line.find(' ') + 1));
      if (record.value("event", "") == event) out.push_back(record);
    }
    return out;
  }

  LoopThread loop_;
  Recorder actions_, published_, acks_;
  std::shared_ptr<Pacer> pacer_;
  std::unique_ptr<ServerProtocol> protocol_;
};

TEST_F(Protocol, EachKindOfMessageBecomesItsAction) {
  struct Case {
    const char* frame;
    std::vector<std::string> actions;
  };
  const std::vector<Case> cases = {
      {R"({"type":"send","chat":"群","content":"hi","at":"Alice"})", {"send 群 hi Alice"}},
      {R"({"type":"send","chat":"群","content":"plain","at":null})", {"send 群 plain -"}},
      {R"({"type":"send_private","chat":"Erin","content":"您好"})", {"private Erin 您好"}},
      {R"({"type":"reply","chat":"群","reply_text":"ok","msg_id":"wx0001001"})", {"quote 群 wx0001001 ok -"}},
      {R"({"type":"reply","chat":"群","reply_text":"got it","quote_content":"known","at":"Bob"})",
       {R"(lookup {"quote_content":"known","content":"","position":"群"})", "quote 群 wx1234001 got it Bob"}},
      {R"({"type":"reply","chat":"群","reply_text":"fallback","quote_content":"gone"})",
       {R"(lookup {"quote_content":"gone","content":"","position":"群"})", "send 群 fallback -"}},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    frame(c.frame);
    expected.insert(expected.end(), c.actions.begin(), c.actions.end());
    ASSERT_TRUE(eventually([&] { return actions_.lines().size() >= expected.size(); }));
    EXPECT_EQ(actions_.lines(), expected);
  }
  EXPECT_EQ(protocol_->rejected(), 0u);
  EXPECT_TRUE(eventually([&] { return protocol_->carried_out() == cases.size(); }));
}

TEST_F(Protocol, EverySendEndsInOneResultHeldWhileListeningIsDownAndDroppedAtStopWithAWord) {
  frame(R"({"type":"send","chat":"群","content":"hi","request_id":"s1"})");
  // A reply quoting a message the store does not hold fails at once.
  frame(R"({"type":"reply","chat":"群","reply_text":"ok","msg_id":"wx-unknown","request_id":"s2"})");
  ASSERT_TRUE(eventually([&] { return records("request_result").size() == 2; }));
  auto results = records("request_result");
  std::sort(results.begin(), results.end(),
            [](const Json& a, const Json& b) { return a["request_id"] < b["request_id"]; });
  EXPECT_EQ(results[0]["result"], "done");
  EXPECT_EQ(results[0]["type"], "send");
  EXPECT_EQ(results[0]["chat"], "群");
  EXPECT_TRUE(results[0].contains("receiver") && results[0].contains("time")) << results[0];
  EXPECT_EQ(results[1]["result"], "failed");
  EXPECT_EQ(results[1]["reason"], "no stored message wx-unknown in 群");
  EXPECT_EQ(actions_.lines(), std::vector<std::string>{"send 群 hi -"});

  // Held (listening is down): the sends wait in the queue.
  pacer_->hold(true);
  frame(R"({"type":"send","chat":"群","content":"later","request_id":"s3"})");
  ASSERT_TRUE(eventually([&] { return pacer_->queued() == 1; }));
  EXPECT_EQ(actions_.lines().size(), 1u);
  pacer_->hold(false);
  ASSERT_TRUE(eventually([&] { return records("request_result").size() == 3; }));
  EXPECT_EQ(actions_.lines().back(), "send 群 later -");

  // Stopping with sends queued drops them, each with a result.
  pacer_->hold(true);
  frame(R"({"type":"send","chat":"群","content":"a","request_id":"s4"})");
  frame(R"({"type":"send_private","chat":"Erin","content":"b","request_id":"s5"})");
  ASSERT_TRUE(eventually([&] { return pacer_->queued() == 2; }));
  loop_.call([&] {
    pacer_->stop();
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return records("request_result").size() == 5; }));
  results = records("request_result");
  for (std::size_t i = 3; i < 5; ++i) {
    EXPECT_EQ(results[i]["result"], "dropped") << results[i];
    EXPECT_EQ(results[i]["reason"], "the host stopped before it was sent");
  }
  EXPECT_EQ(results[3]["request_id"], "s4");
  EXPECT_EQ(results[4]["request_id"], "s5");
  EXPECT_EQ(protocol_->carried_out(), 2u);
  EXPECT_EQ(protocol_->failed(), 1u);
  EXPECT_EQ(protocol_->dropped(), 2u);
}

TEST_F(Protocol, ReadsAreBoundedAndOneBeyondTheBoundIsDroppedWithAResult) {
  for (std::size_t i = 0; i <= kDefaultReadLimit; ++i)
    frame(R"({"type":"get_members","chat":"slow","request_id":"q)" + std::to_string(i) + "\"}");
  ASSERT_TRUE(eventually([&] { return records("request_result").size() == 1; }));
  const auto result = records("request_result").front();
  EXPECT_EQ(result["result"], "dropped");
  EXPECT_EQ(result["request_id"], "q" + std::to_string(kDefaultReadLimit));
  EXPECT_EQ(protocol_->dropped(), 1u);
}

TEST_F(Protocol, ReadsAreAnsweredAsEventsCarryingTheRequestAndAnyError) {
  frame(R"({"type":"get_members","chat":"群","request_id":"r1"})");
  frame(R"({"type":"get_members","chat":"broken","request_id":"r2"})");
  frame(R"({"type":"get_img_md5","content":"[图片]","request_id":"r3"})");
  ASSERT_TRUE(eventually([&] { return published_.lines().size() == 3; }));
  std::vector<Json> records;
  for (const auto& line : published_.lines()) {
    const auto space = line.find(' ');
    Json record = Json::parse(line.substr(space + 1));
    EXPECT_EQ(line.substr(0, space), record["id"]);
    records.push_back(record);
  }
  std::sort(records.begin(), records.end(),
            [](const Json& a, const Json& b) { return a["request_id"] < b["request_id"]; });
  EXPECT_EQ(records[0]["event"], "member_list");
  EXPECT_EQ(records[0]["members"], Json::array({"Alice", "Bob"}));
  EXPECT_EQ(records[1]["members"], nullptr);
  EXPECT_EQ(records[1]["error"], "no such group");
  EXPECT_EQ(records[2]["event"], "img_md5");
  EXPECT_EQ(records[2]["img_md5"], std::string(32, 'a'));
  // Like every event but a group message, closed by the account and the time.
  for (const auto& r : records) {
    ASSERT_GE(r.size(), 2u);
    auto it = r.end();
    EXPECT_EQ((--it).key(), "time") << r;
    EXPECT_EQ((--it).key(), "receiver") << r;
  }
}

TEST_F(Protocol, ABadMessageIsRejectedAndChangesNothing) {
  const std::string long_text(kMaxTextBytes + 1, 'x');
  for (const std::string& bad : {
           std::string("not json"),
           std::string("[1,2]"),
           std::string(R"({"chat":"群"})"),
           std::string(R"({"type":"dance"})"),
           std::string(R"({"type":"send","chat":"群"})"),
           std::string(R"({"type":"send","chat":"","content":"x"})"),
           std::string(R"({"type":"send","chat":"群","content":5})"),
           std::string(R"({"type":"send","chat":"群","content":"x","at":7})"),
           std::string(R"({"type":"send","chat":"群","content":")") + long_text + "\"}",
           std::string(R"({"type":"reply","chat":"群","reply_text":"x"})"),
           std::string(R"({"type":"get_members","chat":"群"})"),
           std::string(R"({"type":"ack"})"),
       }) {
    SCOPED_TRACE(bad);
    frame(bad);
  }
  // A good message after them is carried out, and it alone.
  frame(R"({"type":"send","chat":"群","content":"after"})");
  ASSERT_TRUE(eventually([&] { return actions_.lines().size() == 1; }));
  EXPECT_EQ(actions_.lines(), std::vector<std::string>{"send 群 after -"});
  EXPECT_EQ(protocol_->rejected(), 12u);
  // Each object but the acknowledgement was a request the server can tell
  // apart: each is answered as failed, with the reason; the good one is done.
  ASSERT_TRUE(eventually([&] { return records("request_result").size() == 10; })) << published_.lines().size();
  auto results = records("request_result");
  EXPECT_EQ(results.back()["result"], "done");
  results.pop_back();
  for (const auto& r : results) {
    EXPECT_EQ(r["result"], "failed");
    EXPECT_TRUE(r["reason"].get<std::string>().starts_with("not understood: ")) << r;
  }
  EXPECT_TRUE(acks_.lines().empty());
}

TEST_F(Protocol, NestingBeyondTheLimitIsRefusedWhileParsingAndTheLimitItselfIsAccepted) {
  auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  for (std::size_t depth : {kMaxNesting + 1, std::size_t{1000}, std::size_t{100000}}) frame(nested(depth));
  EXPECT_EQ(protocol_->rejected(), 3u);
  // Within the limit it parses, and is refused only later as not an object.
  frame(nested(kMaxNesting));
  ASSERT_TRUE(eventually([&] { return protocol_->rejected() == 4u; }));
  std::string deep_ok = R"({"type":"send","chat":"群","content":"deep","x":)" + nested(kMaxNesting - 1) + "}";
  frame(deep_ok);
  ASSERT_TRUE(eventually([&] { return actions_.lines().size() == 1; }));
  EXPECT_EQ(protocol_->rejected(), 4u);
}

TEST_F(Protocol, AcknowledgementsGoToTheFeedNotToTheReplyOperation) {
  frame(R"({"type":"ack","id":"wx0001002"})");
  EXPECT_EQ(acks_.lines(), std::vector<std::string>{"wx0001002"});
  EXPECT_EQ(protocol_->carried_out(), 0u);
}

TEST(Pacing, HoldsEachChatAndTheTotalWithinTheWindowKeepingEachChatsOrder) {
  LoopThread loop;
  auto pacer = std::make_shared<Pacer>(loop.loop(), PacingLimits{.per_chat = 2, .total = 3, .window = 60});
  Recorder sent;
  loop.call([&] {
    pacer->start();
    return 0;
  });
  for (const char* item : {"A1", "A2", "A3", "A4", "B1", "C1"}) {
    std::string chat(1, item[0]);
    pacer->submit(chat, item, [&sent, item] { sent.add(item); });
  }
  ASSERT_TRUE(eventually([&] { return sent.lines().size() == 3; }));
  // A is held at two, the total at three: B goes, C waits.
  EXPECT_EQ(sent.lines(), (std::vector<std::string>{"A1", "A2", "B1"}));
  EXPECT_EQ(pacer->queued(), 3u);

  timing::advance(61);
  ASSERT_TRUE(eventually([&] { return sent.lines().size() == 6; }));
  EXPECT_EQ(sent.lines(), (std::vector<std::string>{"A1", "A2", "B1", "A3", "A4", "C1"}));
  loop.call([&] {
    pacer->stop();
    return 0;
  });
}

TEST(Pacing, AFullQueueDropsTheNewMessage) {
  LoopThread loop;
  Pacer pacer(loop.loop(), PacingLimits{.queue_limit = 2});
  // Not started: nothing leaves the queue.
  EXPECT_TRUE(pacer.submit("A", "1", [] {}));
  EXPECT_TRUE(pacer.submit("A", "2", [] {}));
  EXPECT_FALSE(pacer.submit("A", "3", [] {}));
  EXPECT_EQ(pacer.queued(), 2u);
}

}  // namespace
}  // namespace orvanta::host
