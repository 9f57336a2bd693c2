// The server link, the outbox and the event feed together, against a test
// server on 127.0.0.1.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "event_feed.hpp"
#include "host/loop_thread.hpp"
#include "host/test_server.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "outbox.hpp"
#include "platform/sqlite/store_fixture.hpp"
#include "support/temp_dir.hpp"
#include "support/tls_server.hpp"
#include "ws_link.hpp"

namespace orvanta::host {
namespace {

using testing::eventually;
using testing::LoopThread;
using testing::TestServer;

// The ids of the frames, in order of arrival.
std::vector<std::string> ids_of(const std::vector<std::string>& frames) {
  std::vector<std::string> ids;
  for (const auto& f : frames) ids.push_back(Json::parse(f).at("id").get<std::string>());
  return ids;
}

// The ids in order of first arrival.
std::vector<std::string> first_arrivals(const std::vector<std::string>& ids) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& id : ids)
    if (seen.insert(id).second) out.push_back(id);
  return out;
}

class ServerLink : public ::testing::Test {
 protected:
  void TearDown() override {
    if (loop_) {
      loop_->call([&] {
        if (feed_) feed_->stop();
        if (link_) link_->stop();
        return 0;
      });
      loop_->stop();
    }
    feed_.reset();
    link_.reset();
    config.ws_client.reset();
  }

  // A link to `url` whose acknowledgements go to an event feed over an
  // outbox in the test's directory.
  void connect(const std::string& url, std::size_t window = kDefaultSendWindow,
               std::optional<std::string> ca = std::nullopt) {
    loop_ = std::make_unique<LoopThread>();
    outbox_ = std::make_shared<Outbox>(dir_.file("wxChat.db"), 100);
    WsLinkOptions options{.url = url, .initial_backoff = 1.0, .max_backoff = 2.0, .extra_ca_file = ca};
    loop_->call([&] {
      link_ = std::make_shared<WsLink>(
          loop_->loop(), options,
          [this](std::string text) {
            auto j = Json::parse(text);
            if (j.value("type", "") == "ack") feed_->acknowledge(j.at("id"));
          },
          [this](bool up) { feed_->link_state(up); });
      feed_ = std::make_shared<EventFeed>(loop_->loop(), outbox_, link_, window);
      config.ws_client.set(link_);
      return 0;
    });
  }

  void start() {
    loop_->call([&] {
      feed_->start();
      link_->start();
      return 0;
    });
  }

  void publish(const std::string& id) { feed_->publish(Json{{"event", "test"}, {"id", id}}); }

  testing::TempDir dir_;
  std::unique_ptr<LoopThread> loop_;
  std::shared_ptr<Outbox> outbox_;
  std::shared_ptr<WsLink> link_;
  std::shared_ptr<EventFeed> feed_;
};

TEST_F(ServerLink, EventsPublishedDuringAnOutageArriveAfterItInOrderAndLeaveTheOutbox) {
  TestServer server;
  connect(server.ws_url());
  start();
  for (int i = 1; i <= 5; ++i) publish("e" + std::to_string(i));
  ASSERT_TRUE(server.wait_for_frames(5));
  ASSERT_TRUE(eventually([&] { return outbox_->size() == 0; }));

  server.go_down();
  ASSERT_TRUE(eventually([&] { return !link_->ws(); }));
  for (int i = 6; i <= 10; ++i) publish("e" + std::to_string(i));
  EXPECT_EQ(outbox_->size(), 5u);

  server.go_up();
  ASSERT_TRUE(server.wait_until([](const auto& f) { return first_arrivals(ids_of(f)).size() == 10; }));
  std::vector<std::string> expected;
  for (int i = 1; i <= 10; ++i) expected.push_back("e" + std::to_string(i));
  EXPECT_EQ(first_arrivals(ids_of(server.frames())), expected);
  EXPECT_TRUE(eventually([&] { return outbox_->size() == 0; }));
  EXPECT_EQ(link_->connects(), 2u);
}

TEST_F(ServerLink, AServerDownAtStartIsWaitedFor) {
  TestServer server;
  server.go_down();
  connect(server.ws_url());
  start();
  publish("early");
  ASSERT_TRUE(eventually([&] { return outbox_->size() == 1; }));
  EXPECT_FALSE(link_->ws());
  server.go_up();
  ASSERT_TRUE(server.wait_for_frames(1));
  EXPECT_EQ(ids_of(server.frames()), std::vector<std::string>{"early"});
}

TEST_F(ServerLink, UnacknowledgedEventsGoAgainAfterAReconnectAndTheWindowHoldsBackTheRest) {
  TestServer server(TestServer::Options{.acknowledge = false});
  connect(server.ws_url(), /*window=*/2);
  start();
  for (const char* id : {"a", "b", "c"}) publish(id);
  ASSERT_TRUE(server.wait_for_frames(2));
  // Two are out unacknowledged: the third waits.
  EXPECT_EQ(ids_of(server.frames()), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(outbox_->size(), 3u);

  server.set_acknowledge(true);
  server.go_down();
  server.go_up();
  ASSERT_TRUE(server.wait_until([](const auto& f) { return f.size() >= 5; }));
  EXPECT_EQ(ids_of(server.frames()), (std::vector<std::string>{"a", "b", "a", "b", "c"}));
  EXPECT_TRUE(eventually([&] { return outbox_->size() == 0; }));
}

TEST_F(ServerLink, CloseSoonClosesWithACloseFrameAndStaysClosedUntilResumed) {
  TestServer server;
  connect(server.ws_url());
  start();
  ASSERT_TRUE(eventually([&] { return link_->ws(); }));
  // As the listening thread does: from another thread.
  link_->close_soon();
  ASSERT_TRUE(eventually([&] { return server.closed_by_client() == 1; }));
  EXPECT_FALSE(link_->ws());
  publish("while-parked");
  EXPECT_EQ(server.connections(), 1);
  link_->resume();
  ASSERT_TRUE(server.wait_for_frames(1));
  EXPECT_EQ(server.connections(), 2);
}

TEST_F(ServerLink, WssVerifiesTheServerAgainstTheTrustedAuthorities) {
  auto pki = testing::TestPki::make();
  testing::TempFile ca(pki.ca_cert_pem);
  TestServer server(TestServer::Options{.cert_pem = pki.server_cert_pem, .key_pem = pki.server_key_pem});
  connect(server.ws_url(), kDefaultSendWindow, ca.path());
  start();
  publish("secure");
  ASSERT_TRUE(server.wait_for_frames(1));
  EXPECT_EQ(ids_of(server.frames()), std::vector<std::string>{"secure"});
}

TEST_F(ServerLink, WssRefusesAServerItCannotVerify) {
  auto pki = testing::TestPki::make();
  TestServer server(TestServer::Options{.cert_pem = pki.server_cert_pem, .key_pem = pki.server_key_pem});
  connect(server.ws_url());
  start();
  publish("secret");
  // A second connection means the first attempt was refused and tried again.
  ASSERT_TRUE(server.wait_for_connections(2));
  EXPECT_FALSE(link_->ws());
  EXPECT_TRUE(server.frames().empty());
}

TEST_F(ServerLink, WssRefusesACertificateForAnotherNameFromATrustedAuthority) {
  auto pki = testing::TestPki::make("orvanta test CA", "DNS:other.example");
  testing::TempFile ca(pki.ca_cert_pem);
  TestServer server(TestServer::Options{.cert_pem = pki.server_cert_pem, .key_pem = pki.server_key_pem});
  connect(server.ws_url(), kDefaultSendWindow, ca.path());
  start();
  publish("secret");
  // Refused on every attempt, not only the first.
  ASSERT_TRUE(server.wait_for_connections(3));
  EXPECT_FALSE(link_->ws());
  EXPECT_TRUE(server.frames().empty());
}

TEST(WsLinkOptionsCheck, ACaFileWithoutACertificateIsRefusedWhenTheLinkIsMade) {
  boost::asio::io_context loop;
  testing::TempFile not_pem("-----BEGIN NOTHING-----\nxyz\n");
  for (const char* url : {"wss://127.0.0.1:1/", "ws://127.0.0.1:1/"}) {
    EXPECT_THROW(WsLink(loop, WsLinkOptions{.url = url, .extra_ca_file = not_pem.path()}, {}, {}), ValueError) << url;
    EXPECT_THROW(WsLink(loop, WsLinkOptions{.url = url, .extra_ca_file = "/nonexistent/ca.pem"}, {}, {}), ValueError)
        << url;
  }
  auto pki = testing::TestPki::make();
  testing::TempFile ca(pki.ca_cert_pem);
  EXPECT_NO_THROW(WsLink(loop, WsLinkOptions{.url = "wss://127.0.0.1:1/", .extra_ca_file = ca.path()}, {}, {}));
}

TEST_F(ServerLink, AServerThatBreaksRightAfterTheHandshakeIsNotRetriedAtTheFirstBackOff) {
  TestServer server(TestServer::Options{.drop_after_handshake = true});
  connect(server.ws_url());
  start();
  // initial 1 s, max 2 s: a link that never stays up keeps the longer wait.
  ASSERT_TRUE(server.wait_for_connections(3));
  EXPECT_TRUE(eventually([&] { return link_->last_backoff() == 2.0; }));
}

TEST(WsUrlParse, ReadsSchemeHostPortAndTargetAndRefusesTheRest) {
  struct Case {
    const char* url;
    bool tls;
    const char* host;
    const char* port;
    const char* target;
  };
  for (const Case& c :
       {Case{"ws://example.org", false, "example.org", "80", "/"},
        Case{"wss://example.org/feed?x=1", true, "example.org", "443", "/feed?x=1"},
        Case{"ws://127.0.0.1:8765/ws", false, "127.0.0.1", "8765", "/ws"},
        Case{"ws://[::1]:9000", false, "::1", "9000", "/"}, Case{"ws://h?q", false, "h", "80", "/?q"}}) {
    SCOPED_TRACE(c.url);
    auto u = WsUrl::parse(c.url);
    EXPECT_EQ(u.tls, c.tls);
    EXPECT_EQ(u.host, c.host);
    EXPECT_EQ(u.port, c.port);
    EXPECT_EQ(u.target, c.target);
  }
  for (const char* bad : {"http://example.org", "ws://", "ws://:80", "ws://h:0", "ws://h:70000", "ws://h:8x",
                          "ws://user@h", "ws://[::1"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(WsUrl::parse(bad), ValueError);
  }
}

TEST(OutboxStore, KeepsTheNewestWhenFullAndSurvivesReopening) {
  testing::TempDir dir;
  {
    Outbox outbox(dir.file("wxChat.db"), 3);
    EXPECT_EQ(outbox.push("a", "1"), 0u);
    outbox.push("b", "2");
    outbox.push("c", "3");
    EXPECT_EQ(outbox.push("d", "4"), 1u);
    outbox.push("e", "5");
    EXPECT_EQ(outbox.dropped(), 2u);
  }
  Outbox reopened(dir.file("wxChat.db"), 3);
  auto entries = reopened.after(0, 10);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].event_id, "c");
  EXPECT_EQ(entries[2].body, "5");
  // An acknowledgement takes the event and everything before it; one for an
  // event not yet sent takes nothing.
  EXPECT_EQ(reopened.acknowledge("e", entries[1].seq), 0u);
  EXPECT_EQ(reopened.acknowledge("d", entries[2].seq), 2u);
  EXPECT_EQ(reopened.size(), 1u);
  EXPECT_EQ(reopened.acknowledge("unknown", entries[2].seq), 0u);
}

// The outbox and the message store share one file over two connections.
// Each write of either that reads first must wait while the other holds the
// write lock, not fail at once with "database is locked".
TEST(OutboxStore, WritesOfTheOutboxAndTheStoreWaitForTheOtherConnectionsLock) {
  testing::TempDir dir;
  const auto path = dir.file("wxChat.db");
  auto store = sqlite::open_message_db(path);
  Outbox outbox(path, 10);
  store->insert_messages(sqlite::testing::message_row("g", "first"));
  const auto first = store->get_latest_messages(1, LatestQuery{.group_name = "g"}).at(0).at("id").get<std::int64_t>();

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  sqlite3_busy_timeout(other, 5000);
  ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE holder(x)", nullptr, nullptr, nullptr), SQLITE_OK);

  const std::vector<std::pair<const char*, std::function<void()>>> writes = {
      {"outbox acknowledge",
       [&] {
         const auto seq = outbox.after(0, 1).at(0).seq;
         EXPECT_EQ(outbox.acknowledge("a", seq), 1u);
       }},
      {"store insert after a record",
       [&] {
         auto row = sqlite::testing::message_row("g", "second");
         row.erase("group_name");
         row.erase("have_checked");
         store->insert_after_record("g", first, row);
       }},
  };
  outbox.push("a", "1");
  for (const auto& [name, write] : writes) {
    SCOPED_TRACE(name);
    // The other connection holds the write lock for a moment.
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; INSERT INTO holder VALUES(1)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::thread release([other] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_NO_THROW(write());
    release.join();
  }
  sqlite3_close(other);
  EXPECT_EQ(outbox.size(), 0u);
  EXPECT_EQ(store->get_message_count_by_group("g"), 2);
}

}  // namespace
}  // namespace orvanta::host
