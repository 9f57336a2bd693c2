// The `orvanta` program end to end: run as a child process on the simulated
// client, against a test server on 127.0.0.1 that serves the group list and
// the WebSocket link.

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "host/loop_thread.hpp"
#include "host/process.hpp"
#include "host/test_server.hpp"
#include "orvanta/robot/fetching.hpp"
#include "support/temp_dir.hpp"
#include "support/tls_server.hpp"

namespace orvanta::testing {
namespace {

constexpr const char* kScenario = R"({
  "account": {"nickname": "群管助手"},
  "options": {"strict_threads": true},
  "chats": [
    {"name": "产品交流群", "type": "group",
     "members": [{"name": "Alice", "remark": "A001"}, {"name": "Bob", "remark": "B002"}]},
    {"name": "Erin", "type": "friend"}
  ],
  "timeline": [
    {"at": -3600, "event": "text", "chat": "产品交流群", "sender": "Alice", "text": "欢迎大家"},
    {"at": 4, "event": "text", "chat": "产品交流群", "sender": "Alice", "text": "今天发布新版本"},
    {"at": 8, "event": "private", "chat": "Erin", "text": "你好"},
    {"at": 12, "event": "join", "chat": "产品交流群", "member": "Frank", "inviter": "Alice"},
    {"at": 14, "event": "text", "chat": "产品交流群", "sender": "Bob", "text": "这条会撤回", "id": "r1"},
    {"at": 24, "event": "recall", "target": "r1"},
    {"at": 30, "event": "text", "chat": "产品交流群", "sender": "Bob", "text": "最后一条"}
    FAULT
  ]
})";

const char* kGroupList = R"({"code":200,"data":[{"name":"产品交流群"}]})";

// The program with the conductor library copied into a directory of the
// test's own, so that the store "wxChat.db" (beside the library) is the
// test's.
class Program : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::copy_file(ORVANTA_CONDUCTOR_FILE, dir_.path() / ORVANTA_CONDUCTOR_SONAME); }

  std::string write_scenario(const std::string& fault = "") {
    std::string text = kScenario;
    text.replace(text.find("FAULT"), 5, fault);
    std::ofstream(dir_.file("scenario.json")) << text;
    return dir_.file("scenario.json");
  }

  std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
    std::vector<std::string> argv{ORVANTA_PROGRAM, "run"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv, dir_.file("out.txt"), dir_.file("err.txt"),
                                          std::vector<std::string>{"LD_LIBRARY_PATH=" + dir_.path().string()});
  }

  std::vector<std::string> run_args(const TestServer& server, const std::string& scenario) {
    return {"--scenario", scenario, "--server",   server.ws_url(),      "--group-list", server.group_list_url(),
            "--speed",    "10",     "--log-file", dir_.file("log.txt"), "--id-prefix",  "t"};
  }

  void TearDown() override {
    // The scenario runs the simulated client in strict one-thread mode: the
    // summary names every time two threads drove it at once.
    EXPECT_EQ(out().find("two threads drive the client at once"), std::string::npos) << out();
    if (HasFailure()) std::cerr << "--- output of the program:\n" << out() << "--- its log:\n" << log();
  }

  std::string out() const { return read_file(dir_.file("out.txt")); }
  std::string log() const { return read_file(dir_.file("log.txt")); }
  std::string store() const { return dir_.file("wxChat.db"); }

  // The identifiers of the events the program published, in order, as it
  // printed them.
  std::vector<std::string> published_ids() const {
    static const std::regex message(R"(^orvanta: (?:group|private) message (\S+))");
    static const std::regex bracketed(R"(^orvanta: (?:member joined|message \S+ recalled).*\[(\S+)\]$)");
    std::vector<std::string> ids;
    std::istringstream lines(out());
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_search(line, m, message) || std::regex_search(line, m, bracketed)) ids.push_back(m[1]);
    }
    return ids;
  }

  TempDir dir_;
};

std::string event_id(const Json& frame) {
  return frame.contains("event") ? frame.at("id").get<std::string>() : frame.at("sequence").get<std::string>();
}

// The identifiers of the events (not the answers to requests), in order of
// first arrival.
std::vector<std::string> first_arrivals(const std::vector<std::string>& frames) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& f : frames) {
    const Json frame = Json::parse(f);
    const std::string event = frame.value("event", "");
    if (event == "member_list" || event == "img_md5" || event == "request_result") continue;
    const auto id = event_id(frame);
    if (seen.insert(id).second) out.push_back(id);
  }
  return out;
}

// Runs one statement and gives the first column of every row.
std::vector<std::string> query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(stmt, 0);
      rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    }
  } else {
    ADD_FAILURE() << sqlite3_errmsg(db);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

TEST_F(Program, EventsArriveAsDocumentedAndServerRequestsBecomeActions) {
  TestServer server(TestServer::Options{.group_list = kGroupList});
  auto program = start(run_args(server, write_scenario()));

  // When the first group message arrives, ask for a quoted reply to it, a
  // reply found by its quoted text, a member list, and send one bad request.
  ASSERT_TRUE(server.wait_until([](const auto& f) { return !events_of(f, "group_message").empty(); }));
  const Json first = events_of(server.frames(), "group_message").front();
  server.push(
      Json{{"type", "reply"}, {"chat", "产品交流群"}, {"reply_text", "收到，谢谢"}, {"msg_id", first["sequence"]}}
          .dump());
  server.push(
      R"({"type":"reply","chat":"产品交流群","reply_text":"欢迎回来","quote_content":"欢迎大家","at":"Alice"})");
  server.push(R"({"type":"get_members","chat":"产品交流群","request_id":"r-1"})");
  server.push(R"({"type":"send","chat":"产品交流群"})");

  ASSERT_EQ(program->wait(), 0) << out() << read_file(dir_.file("err.txt"));
  const auto frames = server.frames();

  // Each group message as its twelve-key record, in the documented order.
  const auto messages = events_of(frames, "group_message");
  ASSERT_EQ(messages.size(), 3u) << out();
  std::vector<std::string> keys;
  for (const auto& [k, v] : messages[0].items()) keys.push_back(k);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"sender", "sender_number", "receiver", "position", "sequence", "channel", "type",
                                      "image", "reply", "content", "origin_pic_url", "origin_pic_name", "event_id"}));
  EXPECT_EQ(messages[0]["content"], "今天发布新版本");
  EXPECT_EQ(messages[0]["sender"], "A001");
  EXPECT_EQ(messages[0]["position"], "产品交流群");
  EXPECT_EQ(messages[0]["receiver"], "群管助手");
  EXPECT_TRUE(messages[0]["sequence"].get<std::string>().starts_with("t"));
  EXPECT_EQ(messages[1]["content"], "这条会撤回");
  EXPECT_EQ(messages[2]["content"], "最后一条");

  const auto privates = events_of(frames, "private_message");
  ASSERT_EQ(privates.size(), 1u);
  EXPECT_EQ(privates[0]["chat"], "Erin");
  const auto joins = events_of(frames, "member_join");
  ASSERT_EQ(joins.size(), 1u);
  EXPECT_EQ(joins[0]["member"], "Frank");
  EXPECT_EQ(joins[0]["group"], "产品交流群");
  const auto recalls = events_of(frames, "message_recall");
  ASSERT_EQ(recalls.size(), 1u);
  EXPECT_EQ(recalls[0]["msg_id"], messages[1]["sequence"]);
  EXPECT_NE(recalls[0]["id"], messages[1]["sequence"]);
  const auto lists = events_of(frames, "member_list");
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0]["request_id"], "r-1");
  // Asked for before Frank joined.
  EXPECT_EQ(lists[0]["members"], Json::array({"Alice", "Bob"}));

  // Every event carries a unique event_id, last, rising in the order the
  // events happened.
  std::string last_event_id;
  for (const auto& f : frames) {
    const Json frame = Json::parse(f);
    ASSERT_TRUE(frame.contains("event_id")) << f;
    EXPECT_EQ(std::prev(frame.end()).key(), "event_id") << f;
    EXPECT_GT(frame["event_id"].get<std::string>(), last_event_id) << f;
    last_event_id = frame["event_id"];
  }

  // Every event once, in the order it was published, and acknowledged.
  EXPECT_EQ(first_arrivals(frames), published_ids());
  const auto results = events_of(frames, "request_result");
  EXPECT_EQ(first_arrivals(frames).size() + lists.size() + results.size(), frames.size());
  // Each send request answered: two replies done, the bad send failed.
  ASSERT_EQ(results.size(), 3u) << out();
  std::multiset<std::string> outcomes;
  for (const auto& r : results) outcomes.insert(r["result"].get<std::string>());
  EXPECT_EQ(outcomes, (std::multiset<std::string>{"done", "done", "failed"}));
  EXPECT_EQ(query(store(), "SELECT COUNT(*) FROM outbox"), std::vector<std::string>{"0"});

  // The replies happened in the simulated client, quoting what they answer.
  EXPECT_NE(out().find("sent in 产品交流群: 收到，谢谢 quoting \"今天发布新版本\""), std::string::npos) << out();
  EXPECT_NE(out().find("sent in 产品交流群: 欢迎回来 (@Alice) quoting \"欢迎大家\""), std::string::npos) << out();
  EXPECT_NE(log().find("server message ignored (\"content\" is missing)"), std::string::npos);
  EXPECT_NE(out().find("store: " + std::filesystem::canonical(store()).string()), std::string::npos) << out();
}

TEST_F(Program, AServerThatGoesAwayAndComesBackLosesAndReordersNothing) {
  TestServer server(TestServer::Options{.group_list = kGroupList});
  auto program = start(run_args(server, write_scenario()));
  ASSERT_TRUE(server.wait_for_frames(1));
  server.go_down();
  // Let three more events happen while the server is away.
  ASSERT_TRUE(eventually([&] { return published_ids().size() >= 4; }));
  server.go_up();
  ASSERT_EQ(program->wait(), 0) << out();
  const auto published = published_ids();
  EXPECT_EQ(published.size(), 6u) << out();
  EXPECT_EQ(first_arrivals(server.frames()), published);
  EXPECT_GE(server.connections(), 2);
  EXPECT_EQ(query(store(), "SELECT COUNT(*) FROM outbox"), std::vector<std::string>{"0"});
}

TEST_F(Program, ListeningThatCrashesIsRestartedAndReportsEachMessageOnce) {
  TestServer server(TestServer::Options{.group_list = kGroupList});
  // The poll after the private message fails.
  auto program =
      start(run_args(server, write_scenario(R"(, {"at": 10, "event": "fault", "op": "GetNextNewMessage"})")));
  ASSERT_EQ(program->wait(), 0) << out();
  EXPECT_NE(out().find("orvanta: listening ended"), std::string::npos) << out();
  EXPECT_NE(out().find("1 restart(s)"), std::string::npos) << out();
  const auto published = published_ids();
  EXPECT_EQ(published.size(), 6u) << out();
  EXPECT_EQ(std::set<std::string>(published.begin(), published.end()).size(), published.size());
  EXPECT_EQ(first_arrivals(server.frames()), published);
  // Nothing was stored twice.
  EXPECT_TRUE(
      query(store(), "SELECT content FROM messages GROUP BY group_name, content, type HAVING COUNT(*) > 1").empty());
}

TEST_F(Program, SigtermStopsCleanlyAndLeavesTheStoreConsistent) {
  TestServer server(TestServer::Options{.group_list = kGroupList});
  auto args = run_args(server, write_scenario());
  args.insert(args.end(), {"--keep-running", "--http-port", "0"});
  auto program = start(args);
  ASSERT_TRUE(server.wait_for_frames(2));

  // The monitoring endpoint answers while the program runs.
  std::smatch m;
  const std::string printed = out();
  ASSERT_TRUE(std::regex_search(printed, m, std::regex(R"(monitoring at (http://127\.0\.0\.1:\d+)/healthz)")));
  EXPECT_EQ(robot::http_get(m[1].str() + "/healthz"), "ok\n");
  const std::string metrics = robot::http_get(m[1].str() + "/metrics");
  EXPECT_NE(metrics.find("# TYPE orvanta_listening_cycles_total counter"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("orvanta_server_link_up 1"), std::string::npos) << metrics;
  EXPECT_TRUE(std::regex_search(metrics, std::regex(R"(orvanta_events_total\{kind="group_message"\} [1-9])")))
      << metrics;

  program->signal(SIGTERM);
  EXPECT_EQ(program->wait(), 0) << out();
  EXPECT_NE(out().find("orvanta: stopping: terminated (SIGTERM)"), std::string::npos) << out();
  EXPECT_NE(out().find("orvanta: summary"), std::string::npos);
  EXPECT_EQ(query(store(), "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(server.closed_by_client(), 1);
  // The host's own closing is no failure, and no source path is logged.
  EXPECT_NE(log().find(" info server link closed: " + server.ws_url()), std::string::npos) << log();
  EXPECT_EQ(log().find("Operation canceled"), std::string::npos) << log();
  EXPECT_EQ(log().find("/usr/include/"), std::string::npos) << log();
}

TEST_F(Program, TheStoreGoesWhereItIsToldAndEventIdsRiseAcrossRuns) {
  const auto store_dir = dir_.path() / "store";
  std::filesystem::create_directory(store_dir);
  std::vector<std::string> event_ids;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    TestServer server(TestServer::Options{.group_list = kGroupList});
    auto args = run_args(server, write_scenario());
    args.insert(args.end(), {"--store", store_dir.string()});
    auto program = start(args);
    ASSERT_EQ(program->wait(), 0) << out();
    for (const auto& f : server.frames()) event_ids.push_back(Json::parse(f).at("event_id"));
    EXPECT_NE(out().find("store: " + (store_dir / "wxChat.db").string()), std::string::npos) << out();
  }
  EXPECT_TRUE(std::filesystem::exists(store_dir / "wxChat.db"));
  EXPECT_FALSE(std::filesystem::exists(store()));
  // Unique, and each run's above the one before.
  EXPECT_TRUE(std::is_sorted(event_ids.begin(), event_ids.end())) << ::testing::PrintToString(event_ids);
  EXPECT_EQ(std::set<std::string>(event_ids.begin(), event_ids.end()).size(), event_ids.size());

  auto help = std::make_unique<ChildProcess>(std::vector<std::string>{ORVANTA_PROGRAM, "run", "--help"},
                                             dir_.file("out.txt"), dir_.file("err.txt"));
  EXPECT_EQ(help->wait(), 0);
  const std::string text = out();
  EXPECT_NE(text.find("--store"), std::string::npos) << text;
  EXPECT_NE(text.find("beside the conductor library"), std::string::npos) << text;
  EXPECT_NE(text.find("Exit status: 0"), std::string::npos) << text;
  EXPECT_NE(text.find("3 listening failed too often"), std::string::npos) << text;
}

TEST_F(Program, AGroupListDownAtStartIsReadOnceItComesAndHealthSaysDegradedMeanwhile) {
  TestServer list_server(TestServer::Options{.group_list = kGroupList});
  list_server.go_down();
  TestServer server(TestServer::Options{.group_list = kGroupList});
  auto args = run_args(server, write_scenario());
  args[5] = list_server.group_list_url();
  args.insert(args.end(), {"--keep-running", "--http-port", "0"});
  auto program = start(args);
  std::smatch m;
  ASSERT_TRUE(eventually([&] { return out().find("monitoring at") != std::string::npos; })) << out();
  const std::string printed = out();
  ASSERT_TRUE(std::regex_search(printed, m, std::regex(R"(monitoring at (http://127\.0\.0\.1:\d+)/healthz)")));
  const std::string health = m[1].str() + "/healthz";
  ASSERT_TRUE(eventually([&] { return robot::http_get(health).starts_with("degraded: no group list yet"); }))
      << robot::http_get(health);
  list_server.go_up();
  ASSERT_TRUE(eventually([&] { return robot::http_get(health) == "ok\n"; })) << robot::http_get(health) << log();
  EXPECT_GE(list_server.http_targets().size(), 1u);
  EXPECT_NE(log().find("reading the group list failed"), std::string::npos) << log();
  program->signal(SIGTERM);
  EXPECT_EQ(program->wait(), 0) << out();
}

TEST_F(Program, AnUnusableCaFileStopsTheStartSoNothingReachesAnUnverifiedServer) {
  // A server whose certificate is for another name, from an authority nobody
  // trusts: with the certificate check off it would get every event.
  auto pki = TestPki::make("someone else's CA", "DNS:other.example");
  TestServer server(
      TestServer::Options{.group_list = kGroupList, .cert_pem = pki.server_cert_pem, .key_pem = pki.server_key_pem});
  std::ofstream(dir_.file("not-a-ca.pem")) << "this is not a certificate\n";
  auto args = run_args(server, write_scenario());
  args.insert(args.end(), {"--server-ca", dir_.file("not-a-ca.pem")});
  auto program = start(args);
  EXPECT_EQ(program->wait(), 1) << out();
  const std::string err = read_file(dir_.file("err.txt"));
  EXPECT_NE(err.find("orvanta: cannot start: the certificate authorities file " + dir_.file("not-a-ca.pem") +
                     " holds no PEM certificate"),
            std::string::npos)
      << err;
  EXPECT_EQ(server.connections(), 0);
  EXPECT_TRUE(server.frames().empty());

  // With that authority trusted, the name still does not match: refused on
  // every attempt, logged as an error that says why.
  std::ofstream(dir_.file("ca.pem")) << pki.ca_cert_pem;
  args = run_args(server, write_scenario());
  args.insert(args.end(), {"--server-ca", dir_.file("ca.pem"), "--keep-running"});
  program = start(args);
  ASSERT_TRUE(server.wait_for_connections(3));
  ASSERT_TRUE(eventually([&] { return log().find("certificate refused") != std::string::npos; })) << log();
  program->signal(SIGTERM);
  EXPECT_EQ(program->wait(), 0);
  EXPECT_TRUE(server.frames().empty());
  EXPECT_NE(log().find(" error server " + server.ws_url() +
                       ": TLS handshake with 127.0.0.1 failed: certificate refused: the certificate is not for "
                       "127.0.0.1"),
            std::string::npos)
      << log();
  EXPECT_EQ(log().find("not reachable"), std::string::npos) << log();
}

TEST_F(Program, HostileTextsAndFramesAreRefusedOrEscapedAndTheHostGoesOn) {
  TestServer server(TestServer::Options{.group_list = kGroupList});
  // A member's text that would print as a forged line and a colour.
  auto program =
      start(run_args(server, write_scenario(R"(, {"at": 5, "event": "text", "chat": "产品交流群", "sender": "Alice",
        "text": "hi\norvanta: member joined 产品交流群: Mallory [t1]\u001b[31m"})")));
  ASSERT_TRUE(server.wait_until([](const auto& f) { return !events_of(f, "group_message").empty(); }));

  // Nesting far beyond the limit: refused while parsing, never written out.
  for (int depth : {1000, 100000}) server.push(std::string(depth, '[') + std::string(depth, ']'));
  // A frame that is not JSON and would forge a log line.
  server.push("oops\n2026-01-01 00:00:00.000 error forged\x1b[2J");
  // A request in a binary frame is not carried out; an acknowledgement of
  // nothing the host sent is logged.
  server.push_binary(R"({"type":"get_members","chat":"产品交流群","request_id":"binary"})");
  server.push(R"({"type":"ack","id":"no-such-event"})");
  // The host still carries out requests.
  server.push(R"({"type":"get_members","chat":"产品交流群","request_id":"after"})");
  ASSERT_TRUE(server.wait_until([](const auto& f) { return !events_of(f, "member_list").empty(); })) << log();
  ASSERT_EQ(program->wait(), 0) << out();

  const std::string printed = out();
  const std::string logged = log();
  std::size_t refused = 0;
  for (std::size_t at = 0; (at = logged.find("(nested deeper than 64 levels)", at)) != std::string::npos; ++at)
    ++refused;
  EXPECT_EQ(refused, 2u) << logged;
  EXPECT_EQ(printed.find('\x1b'), std::string::npos) << printed;
  // The host's own log lines about what came from outside hold no control
  // character. (The processing library logs the message text in a line of
  // its own, which is not the host's.)
  {
    std::istringstream lines(logged);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("server message ignored") == std::string::npos && line.find("event ") == std::string::npos)
        continue;
      EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
  }
  EXPECT_EQ(printed.find("\norvanta: member joined 产品交流群: Mallory"), std::string::npos) << printed;
  EXPECT_NE(printed.find("hi\\norvanta: member joined 产品交流群: Mallory [t1]\\x1b[31m"), std::string::npos)
      << printed;
  EXPECT_EQ(logged.find("\n2026-01-01 00:00:00.000 error forged"), std::string::npos) << logged;
  EXPECT_NE(logged.find("oops\\n2026-01-01 00:00:00.000 error forged\\x1b[2J"), std::string::npos) << logged;

  const auto lists = events_of(server.frames(), "member_list");
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0]["request_id"], "after");
  EXPECT_EQ(lists[0]["receiver"], "群管助手");
  EXPECT_TRUE(lists[0]["time"].is_string()) << lists[0];
  EXPECT_NE(logged.find("server sent a binary frame"), std::string::npos) << logged;
  EXPECT_NE(logged.find("acknowledgement of no-such-event ignored"), std::string::npos) << logged;
}

TEST_F(Program, TheWindowsClientIsRefusedAtOnceOnThisBuild) {
  auto program = start({"--client", "windows"});
  EXPECT_EQ(program->wait(), 2);
  EXPECT_NE(read_file(dir_.file("err.txt")).find("the Windows client driver is not part of this build"),
            std::string::npos);
}

}  // namespace
}  // namespace orvanta::testing

namespace orvanta::testing {
namespace {

// The fault soak (not run by default: --gtest_also_run_disabled_tests
// --gtest_filter='*Soak*'). The program on the fast clock against a server
// that drops the connection at random, acknowledges late and sends bad
// frames, while the simulated client fails 1 % of its operations, for 10,000
// listening cycles. It prints the events lost, the events raised twice under
// two event_ids, the rows stored twice, and the peak memory.
TEST_F(Program, DISABLED_FaultSoak) {
  constexpr int kMessages = 400;
  constexpr std::uint64_t kCycles = 10000;
  std::mt19937 random(20261209);
  const std::vector<std::string> groups = {"产品交流群", "技术讨论群", "运营群"};
  Json scenario = Json::parse(R"({"account": {"nickname": "群管助手"}, "options": {"seed": 11}})");
  Json group_list = Json::array();
  for (const auto& g : groups) {
    scenario["chats"].push_back(Json{{"name", g}, {"type", "group"}, {"members", Json::array({"Alice", "Bob"})}});
    group_list.push_back(Json{{"name", g}});
  }
  Json timeline = Json::array();
  for (const char* op : {"GetNextNewMessage", "ChatWith", "GetAllMessage", "LoadMoreMessage", "GetGroupMembers"})
    timeline.push_back(Json{{"at", 0}, {"event", "fault"}, {"op", op}, {"probability", 0.01}});
  // The messages come after the start-up's history synchronisation (what a
  // group shows when it is first synchronised is history, not news).
  std::set<std::string> expected;
  for (int i = 0; i < kMessages; ++i) {
    const std::string text = "soak-" + std::to_string(i);
    expected.insert(text);
    timeline.push_back(Json{{"at", 60 + i * 2},
                            {"event", "text"},
                            {"chat", groups[random() % groups.size()]},
                            {"sender", random() % 2 ? "Alice" : "Bob"},
                            {"text", text}});
  }
  scenario["timeline"] = timeline;
  std::ofstream(dir_.file("scenario.json")) << scenario.dump();
  const std::string list = Json{{"code", 200}, {"data", group_list}}.dump();

  TestServer server(TestServer::Options{.group_list = list});
  auto args = run_args(server, dir_.file("scenario.json"));
  args[7] = "200";  // --speed
  args.insert(args.end(), {"--keep-running", "--http-port", "0", "--max-failures", "1000", "--failure-window", "1",
                           "--log-level", "warn"});
  auto program = start(args);
  ASSERT_TRUE(eventually([&] { return out().find("monitoring at") != std::string::npos; })) << out();
  std::smatch m;
  const std::string printed = out();
  ASSERT_TRUE(std::regex_search(printed, m, std::regex(R"(monitoring at (http://127\.0\.0\.1:\d+)/healthz)")));
  const std::string base = m[1].str();
  auto metric = [&](const std::string& name) -> std::uint64_t {
    std::smatch v;
    std::string text;
    try {
      text = robot::http_get(base + "/metrics");
    } catch (const std::exception&) {
      return 0;
    }
    if (!std::regex_search(text, v, std::regex("\n" + name + " (\\d+)"))) return 0;
    return std::stoull(v[1].str());
  };
  auto peak_kib = [&] {
    std::istringstream status(read_file("/proc/" + std::to_string(program->pid()) + "/status"));
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
    return 0ull;
  };

  // Chaos until the cycles are done.
  bool down = false;
  std::uint64_t cycles = 0;
  int outages = 0, bad_frames = 0;
  while ((cycles = metric("orvanta_listening_cycles_total")) < kCycles) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 200));
    switch (random() % 6) {
      case 0:
        if (down) {
          server.go_up();
        } else {
          server.go_down();
          ++outages;
        }
        down = !down;
        break;
      case 1:
        server.set_acknowledge(random() % 3 != 0);
        break;
      case 2:
        ++bad_frames;
        switch (random() % 3) {
          case 0:
            server.push("not json\n\x1b[31m");
            break;
          case 1:
            server.push(std::string(5000, '[') + std::string(5000, ']'));
            break;
          default:
            server.push_binary(R"({"type":"send","chat":"x","content":"binary"})");
            break;
        }
        break;
      default:
        break;
    }
  }
  if (down) server.go_up();
  server.set_acknowledge(true);
  // Everything is reported and taken by the server (or, after two minutes,
  // what is missing counts as lost).
  for (int i = 0; i < 1200; ++i) {
    if (events_of(server.frames(), "group_message").size() >= static_cast<std::size_t>(kMessages) &&
        metric("orvanta_outbox_events") == 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto peak = peak_kib();
  program->signal(SIGTERM);
  EXPECT_EQ(program->wait(), 0);

  std::map<std::string, std::set<std::string>> ids_of_text;
  for (const auto& msg : events_of(server.frames(), "group_message"))
    ids_of_text[msg["content"].get<std::string>()].insert(msg["event_id"].get<std::string>());
  int lost = 0, twice = 0;
  for (const auto& text : expected) {
    auto it = ids_of_text.find(text);
    if (it == ids_of_text.end()) {
      ++lost;
      // Lost before the store (the client's faults) or after it (reporting)?
      std::cout << "soak: lost " << text << ", stored "
                << query(store(), "SELECT COUNT(*) FROM messages WHERE content = '" + text + "'").at(0) << " time(s)\n";
    } else if (it->second.size() > 1) {
      ++twice;
    }
  }
  const auto stored_twice =
      query(store(), "SELECT content FROM messages GROUP BY group_name, content, type HAVING COUNT(*) > 1");
  // Messages due by the time the cycles were done.
  std::cout << "soak: " << cycles << " cycles, " << outages << " outages, " << bad_frames << " bad frames, "
            << ids_of_text.size() << " of " << expected.size() << " messages reported, lost " << lost
            << ", raised twice under two event_ids " << twice << ", rows stored twice " << stored_twice.size()
            << ", peak memory " << peak / 1024 << " MiB\n";
  EXPECT_EQ(twice, 0);
  EXPECT_TRUE(stored_twice.empty());
  EXPECT_EQ(lost, 0);
}

}  // namespace
}  // namespace orvanta::testing
