// The `orvanta` program end to end: run as a child process on the simulated
// client, against a test server on 127.0.0.1 that serves the group list and
// the WebSocket link.

#include <filesystem>
#include <iostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "host/loop_thread.hpp"
#include "host/process.hpp"
#include "host/test_server.hpp"
#include "orvanta/robot/fetching.hpp"
#include "support/temp_dir.hpp"

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
    if (frame.value("event", "") == "member_list" || frame.value("event", "") == "img_md5") continue;
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
  EXPECT_EQ(keys, (std::vector<std::string>{"sender", "sender_number", "receiver", "position", "sequence", "channel",
                                            "type", "image", "reply", "content", "origin_pic_url", "origin_pic_name"}));
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

  // Every event once, in the order it was published, and acknowledged.
  EXPECT_EQ(first_arrivals(frames), published_ids());
  EXPECT_EQ(first_arrivals(frames).size() + lists.size(), frames.size());
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
}

TEST_F(Program, TheWindowsClientIsRefusedAtOnceOnThisBuild) {
  auto program = start({"--client", "windows"});
  EXPECT_EQ(program->wait(), 2);
  EXPECT_NE(read_file(dir_.file("err.txt")).find("the Windows client driver is not part of this build"),
            std::string::npos);
}

}  // namespace
}  // namespace orvanta::testing
