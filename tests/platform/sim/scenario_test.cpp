// Scenarios played through the driver interface the way the system polls
// and reads the client, and the client driven from one thread while another
// changes the world.

#include <atomic>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

Json read_json(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return Json::parse(s.str());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Json poll_result(const std::string& chat, const std::string& type, const std::string& msg) {
  return Json{{"chat_name", chat}, {"chat_type", type}, {"msg", msg}};
}

class ExampleScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = make_sim_client();
    client->load_scenario_file(ORVANTA_EXAMPLE_SCENARIO);
    driver = client->driver();
    wx = driver->MakeWeChat();
  }

  std::shared_ptr<wxauto::WindowMessage> newest() { return wx->GetAllMessage().back(); }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::Driver> driver;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(ExampleScenarioTest, ShowsEveryEventKind) {
  std::set<std::string> kinds;
  const Json scenario = read_json(ORVANTA_EXAMPLE_SCENARIO);
  bool on_a_call = false;
  for (const Json& e : scenario["timeline"]) {
    kinds.insert(e["event"]);
    on_a_call = on_a_call || e.contains("on");
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"text",  "image",      "quote",   "private", "own",   "recall",
                                          "join",  "pat",        "system",  "members", "mute",  "logout",
                                          "login", "fault",      "raw",     "quit",    "start", "clipboard",
                                          "menu",  "group_list", "sticker", "file",    "link",  "voice"}));
  EXPECT_TRUE(on_a_call) << "no event on a call";
}

TEST_F(ExampleScenarioTest, PlaysFromEndToEndThroughTheDriver) {
  EXPECT_EQ(wx->nickname(), "群管助手");
  // History before the start of play is already read.
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());

  client->advance_to(5);
  EXPECT_EQ(wx->GetNextNewMessage(true), poll_result("产品交流群", "group", "今天发布新版本"));
  auto window = wx->GetAllMessage();
  ASSERT_EQ(window.size(), 6u);
  EXPECT_EQ(window[1]->sender(), "Alice");
  EXPECT_EQ(window[1]->sender_remark(), "A001");
  EXPECT_EQ(window[2]->info().value()["attr"], "self");
  EXPECT_EQ(window[3]->content(), "以下为新消息");
  EXPECT_EQ(window[4]->info().value()["attr"], "time");
  EXPECT_EQ(window[5]->content(), "今天发布新版本");

  client->advance_to(10);
  EXPECT_EQ(wx->GetNextNewMessage(true), poll_result("产品交流群", "group", "[图片]"));
  auto saved = newest()->download();
  ASSERT_TRUE(saved.path);
  EXPECT_EQ(saved.file_name, "release.png");
  EXPECT_EQ(read_file(*saved.path).substr(0, 8), std::string("\x89PNG\r\n\x1a\n"));

  client->advance_to(15);
  EXPECT_EQ(wx->GetNextNewMessage(true)["msg"], "收到\n引用  的消息 : 今天发布新版本");
  // The third read of the window meets a line that arrives while it reads.
  auto third = wx->GetAllMessage();
  EXPECT_EQ(third.back()->content(), "@群管助手\u2005在读消息的时候来了一条");
  EXPECT_EQ(third[third.size() - 2]->info().value()["type"], "other");

  client->advance_to(20);
  EXPECT_EQ(wx->GetNextNewMessage(true), poll_result("Erin", "friend", "你好，请问怎么购买？"));
  EXPECT_EQ(newest()->sender_remark(), "E-客户");

  client->advance_to(25);
  EXPECT_EQ(wx->GetNextNewMessage(true)["msg"], "\"Alice\"邀请\"Frank\"加入了群聊");
  EXPECT_EQ(newest()->info().value()["type"], "base");
  auto members = wx->GetGroupMembers();
  EXPECT_NE(std::find(members.begin(), members.end(), "Frank"), members.end());

  client->advance_to(30);
  // The poll gives the group's shown name, with its trailing blank.
  EXPECT_EQ(wx->GetNextNewMessage(true), poll_result("技术讨论群 ", "group", "\"Grace\"通过扫描二维码加入群聊"));

  client->advance_to(35);
  EXPECT_EQ(wx->GetNextNewMessage(true)["chat_name"], "产品交流群");
  EXPECT_EQ(newest()->info().value()["attr"], "base");

  client->advance_to(40);
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());  // the muted chat

  client->advance_to(45);
  EXPECT_EQ(wx->GetNextNewMessage(true)["msg"], "这条会撤回");
  auto before_recall = wx->GetAllMessage();
  client->advance_to(50);
  auto after_recall = wx->GetAllMessage();
  ASSERT_EQ(after_recall.size(), before_recall.size());
  EXPECT_EQ(after_recall.back()->content(), "\"Bob\" 撤回了一条消息");
  EXPECT_EQ(after_recall.back()->info().value()["type"], "base");

  client->advance_to(55);
  EXPECT_EQ(wx->GetNextNewMessage(true), poll_result("技术讨论群 ", "group", "群主已开启新成员入群验证"));

  client->advance_to(60);
  EXPECT_EQ(wx->GetGroupMembers(), (std::vector<std::string>{"Alice", "Dave", "Grace", "Heidi"}));

  client->advance_to(65);
  EXPECT_EQ(wx->GetNextNewMessage(true), poll_result("闲聊群", "group", "周末去爬山吗"));

  client->advance_to(70);
  EXPECT_THROW(wx->GetAllMessage(), OSError);
  EXPECT_NO_THROW(wx->GetAllMessage());

  client->advance_to(80);
  EXPECT_THROW(wx->GetNextNewMessage(true), LookupError);
  EXPECT_EQ(driver->FindWindow("WeChatMainWndForPC"), 0u);
  auto notice = driver->Uia().TextControl(uia::Search{.Name = "你已退出微信"});
  EXPECT_TRUE(notice->Exists(0, 0));

  client->advance_to(90);
  EXPECT_NE(driver->FindWindow("WeChatMainWndForPC"), 0u);
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());

  // The desktop keeps the scenario's windows around the client's.
  std::vector<std::string> names;
  for (const auto& w : driver->Uia().GetRootControl()->GetChildren()) names.push_back(w->Name());
  EXPECT_EQ(names, (std::vector<std::string>{"微信读书", "安装程序", "微信", "记事本"}));

  // The later events, each tested on its own elsewhere, play through too.
  client->advance_to(95);
  EXPECT_EQ(wx->GetNextNewMessage(true)["msg"], "图不错\n引用  的消息 : [图片]");
  client->advance_to(105);
  EXPECT_EQ(newest()->content(), "已发布\n引用  的消息 : 今天发布新版本");
  client->advance_to(125);
  std::vector<std::string> polled;
  for (Json next = wx->GetNextNewMessage(true); !next.empty(); next = wx->GetNextNewMessage(true))
    polled.push_back(next["chat_type"].get<std::string>() + ":" + next["msg"].get<std::string>());
  EXPECT_EQ(polled, (std::vector<std::string>{"official:本周精选", "group:\"Alice\"邀请\"Judy、Ken\"加入了群聊"}));
  client->advance_to(130);
  EXPECT_EQ(client->group_list().data.size(), 3u);
  client->advance_to(135);
  EXPECT_THROW(client->clipboard()->OpenClipboard(), OSError);

  client->advance_to(155);
  EXPECT_FALSE(client->client_running());
  EXPECT_EQ(driver->FindWindow("WeChatLoginWndForPC"), 0u);
  client->advance_to(160);
  driver->Uia().ButtonControl(uia::Search{.Name = "进入微信"})->Click();
  EXPECT_FALSE(client->logged_in());
  client->advance_to(191);
  EXPECT_TRUE(client->logged_in());
  EXPECT_EQ(client->pending_events(), 0u);
}

TEST_F(ExampleScenarioTest, EventsComeDueOnTheClockBeforeEachDriverCall) {
  EXPECT_GT(client->pending_events(), 0u);
  timing::advance(6);
  // No explicit play: the poll itself applies what is due.
  EXPECT_EQ(wx->GetNextNewMessage(true)["msg"], "今天发布新版本");
  EXPECT_EQ(client->line("m1"), client->line("m1"));
  EXPECT_THROW(client->line("not-yet"), KeyError);
}

// What one scripted run of the system sees, for comparing runs.
std::vector<std::string> scripted_run(timing::SystemTime start) {
  timing::set_now(start);
  SimOptions options;
  options.seed = 3;
  auto client = make_sim_client(options);
  client->load_scenario_file(ORVANTA_EXAMPLE_SCENARIO);
  auto wx = client->driver()->MakeWeChat();
  client->fail_with_probability("GetAllMessage", 0.3);
  std::vector<std::string> seen;
  for (int t = 0; t <= 90; t += 5) {
    client->advance_to(t);
    try {
      seen.push_back(wx->GetNextNewMessage(true).dump());
      for (const auto& m : wx->GetAllMessage()) seen.push_back(m->info().value().dump());
    } catch (const std::exception& e) {
      seen.push_back(std::string("error: ") + e.what());
    }
  }
  return seen;
}

TEST(ScenarioRepeatTest, TheSameScenarioAndCallsGiveTheSameRun) {
  auto start = std::chrono::system_clock::time_point(std::chrono::hours(24 * 20000));
  auto first = scripted_run(start);
  auto second = scripted_run(start);
  EXPECT_EQ(first, second);
  EXPECT_NE(std::find_if(first.begin(), first.end(), [](const std::string& s) { return s.starts_with("error"); }),
            first.end());
}

TEST(ScenarioLoadTest, MalformedScenariosAreRejected) {
  auto client = make_sim_client();
  EXPECT_THROW(client->load_scenario(Json::parse(R"({"timeline": [{"at": 0, "event": "dance"}]})")), ValueError);
  EXPECT_THROW(client->load_scenario(Json::parse(R"({"timeline": [{"at": 0, "event": "recall", "target": "x"}]})")),
               ValueError);
  EXPECT_THROW(client->load_scenario_file("/nonexistent/scenario.json"), OSError);
}

TEST(ConcurrentDrivingTest, TheWorldChangesWhileAnotherThreadDrivesTheClient) {
  auto client = make_sim_client();
  client->add_group("G", {{"Alice", std::nullopt}});
  client->add_group("H", {{"Bob", std::nullopt}});
  auto driver = client->driver();
  auto wx = driver->MakeWeChat();
  constexpr int kPosts = 200;
  std::atomic<bool> done{false};

  std::thread world([&] {
    for (int i = 0; i < kPosts; ++i) {
      auto line = client->post_text(i % 2 ? "G" : "H", i % 2 ? "Alice" : "Bob", "w" + std::to_string(i));
      if (i % 10 == 0) client->recall(line);
      client->play_due();
    }
    done = true;
  });

  int seen_chats = 0;
  auto list = driver->Uia().ListControl(uia::Search{.Name = "消息"});
  for (;;) {
    // Read the flag before polling, so a poll that finds nothing after the
    // world stopped really is the end.
    bool finished = done;
    Json next = wx->GetNextNewMessage(true);
    if (next.empty()) {
      if (finished) break;
      continue;
    }
    ++seen_chats;
    for (const auto& m : wx->GetAllMessage()) EXPECT_TRUE(m->info().has_value());
    list->Exists(0, 0);
    wx->SendMsg("ok", next["chat_name"].get<std::string>());
  }
  world.join();

  EXPECT_GT(seen_chats, 0);
  EXPECT_EQ(client->sent().size(), static_cast<std::size_t>(seen_chats));
  EXPECT_FALSE(client->unread("G"));
  EXPECT_FALSE(client->unread("H"));
}

}  // namespace
}  // namespace orvanta::sim
