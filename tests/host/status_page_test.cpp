// The status page's pieces: the board's record of events, requests and
// groups and its JSON, the event-stream framing, the page's own files, and
// the local server's event streams and headers.

#include "status_page.hpp"

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "host/loop_thread.hpp"
#include "local_http.hpp"
#include "orvanta/errors.hpp"
#include "status_board.hpp"

namespace orvanta::host {
namespace {

using ::orvanta::testing::LoopThread;

constexpr const char* kHostile = "<img src=x onerror=alert(1)>";

Json group_message(const std::string& group, const std::string& sender, const std::string& content) {
  return Json{{"sender", sender}, {"position", group}, {"sequence", "wx1"}, {"type", "text"}, {"content", content}};
}

class Board : public ::testing::Test {
 protected:
  std::int64_t now_ = 1000;
  StatusBoard board_{[this] { return now_; }};
};

TEST_F(Board, CountsEachListenedGroupsEventsAndWhenItWasRead) {
  board_.event(group_message("g1", "A001", "hello"));
  now_ = 2000;
  board_.event(Json{{"event", "member_join"}, {"id", "j"}, {"group", "g1"}, {"member", "Frank"}});
  board_.event(Json{{"event", "message_recall"}, {"id", "r"}, {"group", "g1"}, {"msg_id", "wx1"}});
  now_ = 3000;
  board_.event(Json{{"event", "gap"}, {"id", "x"}, {"chat", "g2"}, {"reason", "window scrolled"}});
  board_.event(Json{{"event", "private_message"}, {"id", "p"}, {"chat", "Erin"}});
  board_.event(group_message("not listened", "B", "ignored in the rows"));
  now_ = 4000;
  board_.chat_read("g1");

  const Json s = board_.snapshot(Json{{"account", "me"}}, {"g2", "g1", "g3"});
  EXPECT_EQ(s["host"]["account"], "me");
  ASSERT_EQ(s["groups"].size(), 3u);
  // In the order of the list; one row per listed group only.
  EXPECT_EQ(s["groups"][0]["name"], "g2");
  EXPECT_EQ(s["groups"][1]["name"], "g1");
  const Json& g1 = s["groups"][1];
  EXPECT_EQ(g1["messages"], 1);
  EXPECT_EQ(g1["joins"], 1);
  EXPECT_EQ(g1["recalls"], 1);
  EXPECT_EQ(g1["gaps"], 0);
  EXPECT_EQ(g1["last_read"], 4000);
  EXPECT_EQ(g1["last_event"], (Json{{"kind", "message_recall"}, {"at", 2000}}));
  EXPECT_EQ(s["groups"][0]["gaps"], 1);
  EXPECT_EQ(s["groups"][0]["last_read"], nullptr);
  // A group nothing happened in yet.
  EXPECT_EQ(s["groups"][2], (Json{{"name", "g3"},
                                  {"last_read", nullptr},
                                  {"last_event", nullptr},
                                  {"messages", 0},
                                  {"joins", 0},
                                  {"recalls", 0},
                                  {"gaps", 0}}));

  // Every event, newest first, private messages too.
  ASSERT_EQ(s["events"].size(), 6u);
  EXPECT_EQ(s["events"][0]["chat"], "not listened");
  EXPECT_EQ(s["events"][1],
            (Json{{"at", 3000}, {"kind", "private_message"}, {"sender", "Erin"}, {"text", ""}, {"chat", "Erin"}}));
  EXPECT_EQ(s["events"][2]["text"], "window scrolled");
  EXPECT_EQ(s["events"][3]["text"], "recalled wx1");
  EXPECT_EQ(s["events"][4]["sender"], "Frank");
  EXPECT_EQ(s["events"][5],
            (Json{{"at", 1000}, {"kind", "group_message"}, {"sender", "A001"}, {"text", "hello"}, {"chat", "g1"}}));
}

TEST_F(Board, KeepsTheNewestEventsAndRequestsOnly) {
  for (int i = 0; i < 130; ++i) board_.event(group_message("g", "s", "m" + std::to_string(i)));
  for (int i = 0; i < 70; ++i)
    board_.request_answer(Json{{"event", "request_result"},
                               {"request_id", "r" + std::to_string(i)},
                               {"type", "send"},
                               {"chat", "g"},
                               {"result", "done"}});
  const Json s = board_.snapshot(Json::object(), {"g"});
  ASSERT_EQ(s["events"].size(), kShownEvents);
  EXPECT_EQ(s["events"].front()["text"], "m129");
  EXPECT_EQ(s["events"].back()["text"], "m30");
  ASSERT_EQ(s["requests"].size(), kShownRequests);
  EXPECT_EQ(s["requests"].front()["request_id"], "r69");
  EXPECT_EQ(s["requests"].back()["request_id"], "r20");
  // The counts are not bounded by what is shown.
  EXPECT_EQ(s["groups"][0]["messages"], 130);
}

TEST_F(Board, ShowsEveryRequestOutcomeAndReadAnswers) {
  board_.request_answer(
      Json{{"event", "request_result"}, {"request_id", "a"}, {"type", "send"}, {"chat", "g"}, {"result", "done"}});
  board_.request_answer(Json{{"event", "request_result"},
                             {"request_id", nullptr},
                             {"type", "reply"},
                             {"chat", "g"},
                             {"result", "failed"},
                             {"reason", "no stored message"}});
  board_.request_answer(Json{{"event", "request_result"},
                             {"request_id", "c"},
                             {"type", "get_members"},
                             {"chat", nullptr},
                             {"result", "dropped"},
                             {"reason", "too many reads under way"}});
  board_.request_answer(Json{{"event", "member_list"}, {"request_id", "d"}, {"chat", "g"}, {"members", {"A"}}});
  board_.request_answer(
      Json{{"event", "img_md5"}, {"request_id", "e"}, {"img_md5", nullptr}, {"error", "no such picture"}});
  // Not an answer to a request.
  board_.request_answer(group_message("g", "s", "text"));
  board_.request_answer(Json("not an object"));

  const Json r = board_.snapshot(Json::object(), {})["requests"];
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[4], (Json{{"at", 1000},
                        {"request_id", "a"},
                        {"type", "send"},
                        {"chat", "g"},
                        {"result", "done"},
                        {"reason", nullptr}}));
  EXPECT_EQ(r[3]["request_id"], nullptr);
  EXPECT_EQ(r[3]["result"], "failed");
  EXPECT_EQ(r[3]["reason"], "no stored message");
  EXPECT_EQ(r[2]["result"], "dropped");
  EXPECT_EQ(r[1]["type"], "get_members");
  EXPECT_EQ(r[1]["result"], "done");
  EXPECT_EQ(r[0]["type"], "get_img_md5");
  EXPECT_EQ(r[0]["result"], "failed");
  EXPECT_EQ(r[0]["reason"], "no such picture");
}

TEST_F(Board, ChatTextReachesThePageAsOneJsonLineOfText) {
  const std::string text = std::string(kHostile) + "</script>\n<script>alert(2)</script>\"'\\";
  board_.event(group_message("</script><b>g</b>", "\"><svg onload=x>", text));
  // Not UTF-8: shown with replacement characters rather than failing.
  board_.event(group_message("g", "s", "bad \xff\xfe bytes"));
  // A long text is cut to an excerpt.
  board_.event(group_message("g", "s", std::string(5000, 'x')));

  const Json s = board_.snapshot(Json::object(), {"</script><b>g</b>"});
  const std::string line = s.dump(-1, ' ', false, Json::error_handler_t::replace);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  // One event-stream event, one data line.
  EXPECT_EQ(sse_frame(line), "data: " + line + "\n\n");

  // What the page parses is the text as it came (control characters
  // escaped), not markup.
  const Json back = Json::parse(line);
  EXPECT_EQ(back["events"][2]["text"], std::string(kHostile) + "</script>\\n<script>alert(2)</script>\"'\\");
  EXPECT_EQ(back["events"][2]["sender"], "\"><svg onload=x>");
  EXPECT_EQ(back["events"][2]["chat"], "</script><b>g</b>");
  EXPECT_EQ(back["groups"][0]["name"], "</script><b>g</b>");
  EXPECT_EQ(back["events"][1]["text"], "bad \xef\xbf\xbd\xef\xbf\xbd bytes");
  EXPECT_LE(back["events"][0]["text"].get<std::string>().size(), 203u);
}

TEST(EventStreamFrame, GivesEachLineItsOwnDataField) {
  EXPECT_EQ(sse_frame("{}"), "data: {}\n\n");
  EXPECT_EQ(sse_frame(""), "data: \n\n");
  EXPECT_EQ(sse_frame("a\nb\r\nc\rd"), "data: a\ndata: b\ndata: c\ndata: d\n\n");
  // A line break cannot end the event early or start a field of its own.
  EXPECT_EQ(sse_frame("x\n\nevent: stopped"), "data: x\ndata: \ndata: event: stopped\n\n");
}

TEST(BindAddress, OnlyLoopbackAddressesCountAsLocal) {
  EXPECT_TRUE(is_loopback_address("127.0.0.1"));
  EXPECT_TRUE(is_loopback_address("127.0.0.2"));
  EXPECT_TRUE(is_loopback_address("::1"));
  EXPECT_FALSE(is_loopback_address("0.0.0.0"));
  EXPECT_FALSE(is_loopback_address("192.168.1.5"));
  EXPECT_FALSE(is_loopback_address("::"));
  EXPECT_FALSE(is_loopback_address("localhost"));
}

// A plain client of the local server, one connection.
class Client {
 public:
  explicit Client(unsigned short port) : socket_(io_) {
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  }
  void send(const std::string& text) { boost::asio::write(socket_, boost::asio::buffer(text)); }
  // Up to and with the next empty line.
  std::string next_block() {
    boost::system::error_code ec;
    const auto n = boost::asio::read_until(socket_, boost::asio::dynamic_buffer(buffer_), "\n\n", ec);
    if (ec) return "";
    std::string block = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return block;
  }
  std::string rest() {
    boost::system::error_code ec;
    boost::asio::read(socket_, boost::asio::dynamic_buffer(buffer_), ec);
    return std::exchange(buffer_, {});
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  std::string buffer_;
};

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = loop_.call([this] {
      auto server = std::make_unique<LocalHttpServer>(loop_.loop(), 0, [](const std::string& target) {
        if (target == "/page") return HttpAnswer{200, "text/html; charset=utf-8", "<p>page</p>"};
        return HttpAnswer{};
      });
      server->add_stream(
          "/events", [this] { return "{\"n\":" + std::to_string(version_.load()) + "}"; }, 5);
      server->start();
      return server;
    });
  }
  void TearDown() override {
    loop_.call([this] {
      server_->stop();
      return 0;
    });
    loop_.stop();
  }

  LoopThread loop_;
  std::unique_ptr<LocalHttpServer> server_;
  std::atomic<int> version_{1};
};

TEST_F(Server, AnswersCarryTheSecurityHeaders) {
  for (const std::string path : {"/page", "/missing"}) {
    Client client(server_->port());
    client.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = client.rest();
    EXPECT_NE(answer.find(path == "/page" ? "HTTP/1.1 200 OK" : "HTTP/1.1 404"), std::string::npos) << answer;
    EXPECT_NE(answer.find(std::string("Content-Security-Policy: ") + kContentSecurityPolicy), std::string::npos);
    EXPECT_NE(answer.find("X-Content-Type-Options: nosniff"), std::string::npos);
    EXPECT_NE(answer.find("Cache-Control: no-store"), std::string::npos);
  }
  EXPECT_EQ(server_->base_url(), "http://127.0.0.1:" + std::to_string(server_->port()));
}

TEST_F(Server, StreamsTheStateWhenItChangesAndSaysWhenItStops) {
  Client client(server_->port());
  client.send("GET /events?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  const std::string head = client.next_block();
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Type: text/event-stream"), std::string::npos);
  EXPECT_NE(head.find("X-Content-Type-Options: nosniff"), std::string::npos);
  EXPECT_NE(head.find("retry: 2000\n\n"), std::string::npos);
  EXPECT_EQ(client.next_block(), "data: {\"n\":1}\n\n");
  // The same state is not sent again; the next event is the changed one.
  version_ = 2;
  EXPECT_EQ(client.next_block(), "data: {\"n\":2}\n\n");
  loop_.call([this] {
    server_->stop();
    return 0;
  });
  EXPECT_EQ(client.next_block(), "event: stopped\ndata: stopped\n\n");
  EXPECT_EQ(client.rest(), "");
}

TEST_F(Server, RefusesStreamsBeyondTheBound) {
  std::vector<std::unique_ptr<Client>> open;
  for (int i = 0; i < 8; ++i) {
    open.push_back(std::make_unique<Client>(server_->port()));
    open.back()->send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_NE(open.back()->next_block().find("200 OK"), std::string::npos);
  }
  Client one_more(server_->port());
  one_more.send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_NE(one_more.rest().find("HTTP/1.1 503"), std::string::npos);
}

}  // namespace
}  // namespace orvanta::host
