// The whole system on a scripted simulated client: start-up, listening, the
// host's handlers and the host's submissions from its own thread.

#include <map>
#include <mutex>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "conductor/conductor_fixture.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/sim/group_list_server.hpp"

namespace orvanta::conductor::testing {
namespace {

using boost::asio::awaitable;

constexpr const char* kProduct = "产品交流群";
constexpr const char* kOps = "运营群";
constexpr const char* kPicture = "PNG-bytes-of-the-only-picture";

Json scenario() {
  return Json::parse(R"json({
    "account": {"nickname": "群管助手"},
    "chats": [
      {"name": "产品交流群", "type": "group", "members": ["Alice", "Bob", "Carol"]},
      {"name": "运营群", "type": "group", "members": ["Dave", "Erin"]},
      {"name": "Erin", "type": "friend"},
      {"name": "Frank", "type": "friend"},
      {"name": "Gina", "type": "friend"}
    ],
    "group_list": {"groups": ["产品交流群", "运营群"], "code": 200},
    "timeline": [
      {"at": -600, "event": "text", "chat": "产品交流群", "sender": "Alice", "text": "昨天的会议纪要"},
      {"at": -500, "event": "text", "chat": "运营群", "sender": "Dave", "text": "周报已发"}
    ]
  })json");
}

// What the host's handlers saw, in order.
class Seen {
 public:
  void add(std::string event) {
    std::lock_guard guard(mu_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() const {
    std::lock_guard guard(mu_);
    return events_;
  }
  int count(const std::string& event) const {
    auto all = events();
    return static_cast<int>(std::count(all.begin(), all.end(), event));
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

// The host's side: start-up on its loop, then, once the first message has
// arrived, sends, a private send, the identifier of a quoted message, a quoted
// reply to it, a send mentioning someone and, once a member has joined, a
// member list.
//
// Waits are bounded (some 30 s of real time on the test clock), so that a
// lost event fails the test instead of hanging it.
awaitable<void> wait_for(const Seen& seen, const std::string& event) {
  for (int i = 0; seen.count(event) == 0; ++i) {
    if (i == 6000) throw std::runtime_error("the host waited in vain for " + event);
    co_await timing::async_sleep(0.5);
  }
}

awaitable<void> host_side(const Seen& seen, std::atomic<bool>& listening, std::string& quoted_id,
                          std::optional<std::vector<std::string>>& members) {
  init();
  start_listening_msg();
  listening = true;
  co_await wait_for(seen, "group:产品交流群:早上好");
  const std::string product = kProduct;
  const std::string ops = kOps;
  robot::wx_send_msg("通知一", product);
  // Gina writes nothing: sending to a chat opens it, which would take its
  // unread messages away from the poll.
  robot::wx_send_private_msg("你好", "Gina");
  Json quote = Json::object();
  quote["quote_content"] = std::string("早上好");
  quote["content"] = std::string();
  quote["position"] = product;
  quoted_id = co_await robot::get_latest_msg_quote(std::move(quote));
  robot::wx_reply_with_quote(quoted_id, "收到", product);
  robot::wx_send_msg("提醒", ops, std::string("Dave"));
  co_await wait_for(seen, "join:运营群:Grace");
  members = co_await robot::wx_get_group_memberlist(ops);
}

class EndToEnd : public ConductorTest {
 protected:
  void SetUp() override {
    ConductorTest::SetUp();
    // init builds the store and the driver itself.
    config.reset();
    std::filesystem::remove(store_path());
    client->load_scenario(scenario());
    server = std::make_unique<sim::GroupListServer>(client);
    config.get_listening_group_url.set(server->url());
  }
  void TearDown() override {
    ConductorTest::TearDown();
    server.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(store_path().string() + suffix);
  }

  std::unique_ptr<sim::GroupListServer> server;
};

TEST_F(EndToEnd, EveryEventReachesItsHandlerOnceAndEveryActionTheClientOnceInOrder) {
  Seen seen;
  std::string picture_key;
  set_deal_group_msg([&](Message m) -> awaitable<void> {
    seen.add("group:" + m.position + ":" + m.content);
    if (m.content == "[图片]") {
      // Awaited on the listening loop itself: the consumer runs while the
      // handler waits, with the picture's chat still open.
      auto key = co_await robot::wx_get_img_md5("[图片]");
      picture_key = key.value_or("");
    }
  });
  set_deal_private_msg([&](std::string chat, std::string) -> awaitable<void> {
    seen.add("private:" + chat);
    co_return;
  });
  set_group_increase_func([&](std::string name, std::string group) -> awaitable<void> {
    seen.add("join:" + group + ":" + name);
    co_return;
  });
  set_message_recall_func([&](std::string, std::string group) -> awaitable<void> {
    seen.add("recall:" + group);
    co_return;
  });

  // The host's thread: its loop runs init (and the daily clean-up), then
  // submits actions once the messages they refer to have arrived.
  std::optional<std::vector<std::string>> members;
  std::string quoted_id;
  std::exception_ptr host_error;
  std::atomic<bool> host_done{false};
  std::atomic<bool> listening{false};
  std::thread host([&] {
    boost::asio::io_context loop;
    RunningLoopScope scope(loop);
    boost::asio::co_spawn(loop, host_side(seen, listening, quoted_id, members), [&](std::exception_ptr e) {
      host_error = e;
      host_done = true;
      loop.stop();
    });
    loop.run();
  });

  // The world goes on once listening has started (history synchronised):
  // messages, a private chat, a picture, a linked reply, a join; the recall
  // comes after the recalled message has been handled.
  EXPECT_TRUE(eventually([&] { return listening.load() || host_done.load(); }));
  auto m1 = client->post_text(kProduct, "Alice", "早上好");
  client->post_private("Erin", "在吗");
  client->post_image(kOps, "Dave", kPicture, "a.png");
  client->post_quote_of(kProduct, "Bob", "早", m1);
  auto m9 = client->post_text(kProduct, "Carol", "发错了");
  client->join(kOps, "Grace", std::string("Dave"));
  client->post_private("Frank", "你好");
  EXPECT_TRUE(eventually([&] { return seen.count("group:产品交流群:发错了") == 1 || host_done.load(); }));
  client->recall(m9);

  const std::vector<std::string> expected = {
      "group:产品交流群:早上好", "private:Erin",      "group:运营群:[图片]", "group:产品交流群:早",
      "group:产品交流群:发错了", "join:运营群:Grace", "recall:产品交流群",   "private:Frank",
  };
  EXPECT_TRUE(eventually([&] {
    if (!host_done) return false;
    for (const auto& e : expected)
      if (seen.count(e) == 0) return false;
    return true;
  })) << ::testing::PrintToString(seen.events());
  host.join();
  stop_listening();
  if (host_error) std::rethrow_exception(host_error);

  for (const auto& e : expected) EXPECT_EQ(seen.count(e), 1) << e;
  EXPECT_EQ(seen.events().size(), expected.size()) << ::testing::PrintToString(seen.events());
  EXPECT_EQ(picture_key, robot::picture_key(kPicture));
  ASSERT_TRUE(members.has_value());
  EXPECT_EQ(*members, (std::vector<std::string>{"Dave", "Erin", "Grace"}));
  EXPECT_FALSE(quoted_id.empty());

  // The host's actions reached the client once each, in submission order.
  const auto sent = client->sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].chat, kProduct);
  EXPECT_EQ(sent[0].text, "通知一");
  EXPECT_EQ(sent[1].chat, "Gina");
  EXPECT_EQ(sent[1].text, "你好");
  EXPECT_EQ(sent[2].chat, kProduct);
  EXPECT_EQ(sent[2].text, "收到");
  EXPECT_EQ(sent[2].quoted, "早上好");
  EXPECT_EQ(sent[3].chat, kOps);
  EXPECT_EQ(sent[3].at, "Dave");

  // The store sits beside the conductor library, the private chats are
  // recorded, and the account's own actions raised no event.
  EXPECT_TRUE(std::filesystem::exists(store_path()));
  EXPECT_EQ(config.db.get()->get_all_messages(AllQuery{.group_name = "Frank"}).size(), 1u);
}

}  // namespace
}  // namespace orvanta::conductor::testing
