// The client's states and surroundings that the listening loop and the
// client actions meet: the record of reads, the contacts page, a client that
// is not running or still logging in, the clipboard held elsewhere, a menu
// that does not come, decoy controls off the searched paths, and the process
// exit.

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;

class ClientStateTest : public ::testing::Test {
 protected:
  void load(const Json& scenario) {
    client = make_sim_client();
    client->load_scenario(scenario);
    driver = client->driver();
    wx = driver->MakeWeChat();
  }

  void SetUp() override {
    load({{"chats", {{{"name", "G"}, {"type", "group"}, {"members", {"Alice"}}}, {{"name", "H"}, {"type", "group"}}}},
          {"timeline", {{{"at", -1}, {"event", "text"}, {"chat", "G"}, {"sender", "Alice"}, {"text", "hi"}}}}});
  }

  std::vector<std::string> kinds() const {
    std::vector<std::string> out;
    for (const Action& a : client->actions()) out.push_back(a.kind + ":" + a.target);
    return out;
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::Driver> driver;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(ClientStateTest, ReadsAreRecordedWhenTheClientAnswersThem) {
  client->post_text("H", "Alice", "new");
  wx->GetNextNewMessage(true);
  wx->GetNextNewMessage(true);
  wx->GetAllMessage();
  wx->LoadMoreMessage();
  wx->GetGroupMembers();
  client->fail_on_call("GetAllMessage", 1);
  EXPECT_THROW(wx->GetAllMessage(), OSError);
  wx->SwitchToContact();
  wx->CollectAllGroupNames();
  EXPECT_EQ(kinds(), (std::vector<std::string>{"GetNextNewMessage:H", "GetNextNewMessage:", "GetAllMessage:H",
                                               "LoadMoreMessage:H", "GetGroupMembers:H",
                                               "SwitchToContact:", "CollectAllGroupNames:"}));
}

TEST_F(ClientStateTest, OnTheContactsPageWindowReadsAndLoadsFail) {
  wx->ChatWith("G");
  wx->SwitchToContact();
  EXPECT_THROW(wx->GetAllMessage(), LookupError);
  EXPECT_THROW(wx->LoadMoreMessage(), LookupError);
  wx->SwitchToChat();
  EXPECT_EQ(wx->GetAllMessage().size(), 2u);
  // Opening a chat from the contacts page shows the chat page again.
  wx->SwitchToContact();
  wx->ChatWith("G");
  EXPECT_NO_THROW(wx->LoadMoreMessage());
}

TEST_F(ClientStateTest, AClientThatIsNotRunningShowsNoWindowAndLogsInAfterTheDelayOnceStarted) {
  // Events far apart: the tests' clock runs a hundred times faster than
  // real time.
  load({{"options", {{"login_delay", 300}}},
        {"timeline", {{{"at", 100}, {"event", "quit"}}, {{"at", 200}, {"event", "start"}, {"enter_button", false}}}}});
  auto& uia = driver->Uia();
  client->advance_to(100);
  EXPECT_FALSE(client->client_running());
  EXPECT_EQ(driver->FindWindow("WeChatMainWndForPC"), 0u);
  EXPECT_EQ(driver->FindWindow("WeChatLoginWndForPC"), 0u);
  EXPECT_FALSE(uia.WindowControl(Search{.Name = "微信", .searchDepth = 1})->Exists(0, 0));
  EXPECT_THROW(wx->GetNextNewMessage(true), LookupError);
  EXPECT_THROW(driver->MakeWeChat(), LookupError);

  client->advance_to(200);
  EXPECT_TRUE(client->client_running());
  EXPECT_FALSE(client->logged_in());
  EXPECT_NE(driver->FindWindow("WeChatLoginWndForPC"), 0u);
  EXPECT_FALSE(uia.ButtonControl(Search{.Name = "进入微信"})->Exists(0, 0));
  uia.ButtonControl(Search{.Name = "登录", .searchDepth = 12, .Timeout = 0})->Click();
  // Logging in takes the delay; the buttons are gone meanwhile.
  EXPECT_EQ(driver->FindWindow("WeChatMainWndForPC"), 0u);
  EXPECT_FALSE(uia.ButtonControl(Search{.Name = "登录"})->Exists(0, 0));
  timing::advance(200);
  EXPECT_EQ(driver->FindWindow("WeChatMainWndForPC"), 0u);
  timing::advance(150);
  EXPECT_NE(driver->FindWindow("WeChatMainWndForPC"), 0u);
  EXPECT_TRUE(client->logged_in());
  EXPECT_EQ(driver->MakeWeChat()->GetNextNewMessage(true), Json::object());
}

TEST_F(ClientStateTest, ScenarioEventsHoldTheClipboardAndSuppressOrDelayTheMenu) {
  load({{"chats", {{{"name", "G"}, {"type", "group"}}}},
        {"timeline",
         {{{"at", -1}, {"event", "image"}, {"chat", "G"}, {"sender", "A"}, {"bytes", "P"}},
          {{"at", 100}, {"event", "clipboard"}, {"held", true}},
          {{"at", 200}, {"event", "menu"}, {"suppressed", true}},
          {{"at", 300}, {"event", "menu"}, {"suppressed", false}, {"delay", 60.0}},
          {{"at", 400}, {"event", "clipboard"}, {"held", false}}}}});
  auto clip = client->clipboard();
  clip->set_text("before");
  wx->ChatWith("G");
  auto button = driver->Uia().ListControl(Search{.Name = "消息"})->ButtonControl(Search{.Name = ""});
  auto copy = driver->Uia().MenuItemControl(Search{.Name = "复制"});

  client->advance_to(100);
  EXPECT_THROW(clip->OpenClipboard(), OSError);
  // The client cannot write a held clipboard either.
  button->RightClick();
  copy->Click();
  client->advance_to(200);
  button->RightClick();
  EXPECT_FALSE(copy->Exists(5));
  client->advance_to(400);
  button->RightClick();
  EXPECT_FALSE(copy->Exists(5));
  EXPECT_TRUE(copy->Exists(120));
  clip->OpenClipboard();
  EXPECT_EQ(std::get<std::string>(clip->GetClipboardData(Clipboard::CF_UNICODETEXT)), "before");
  clip->CloseClipboard();
}

TEST_F(ClientStateTest, DecoysCatchSearchesThatLookTooWideOrNotDeepEnough) {
  load({{"desktop",
         {{"before", {{{"name", "安装程序"}, {"buttons", {"确定"}}, {"button_depth", 7}}}},
          {"after", {{{"name", "提示"}, {"buttons", {"确定", "登录"}}, {"button_depth", 1}}}}}},
        {"chats", {{{"name", "G"}, {"type", "group"}}}},
        {"timeline",
         {{{"at", -1}, {"event", "text"}, {"chat", "G"}, {"sender", "Alice"}, {"text", "hi"}},
          {{"at", 100}, {"event", "logout"}}}}});
  auto& uia = driver->Uia();
  auto click_and_target = [&](const std::shared_ptr<uia::Control>& c) {
    c->Click();
    return client->actions().back().target;
  };

  // A message's button is Pane > Pane > Button below its entry; a search
  // that stops one pane short finds the sender's avatar, one from the list
  // or the chat page finds controls outside the entry.
  wx->ChatWith("G");
  auto list = uia.WindowControl(Search{.Name = "微信", .searchDepth = 1})->ListControl(Search{.Name = "消息"});
  auto entry = list->GetChildren().back();
  auto right = entry->PaneControl(Search{.foundIndex = 1})
                   ->PaneControl(Search{.foundIndex = 1})
                   ->ButtonControl(Search{.foundIndex = 1});
  EXPECT_EQ(click_and_target(right), "hi");
  EXPECT_EQ(click_and_target(entry->PaneControl(Search{.foundIndex = 1})->ButtonControl(Search{.foundIndex = 1})),
            "avatar:Alice");
  auto chat_page = uia.WindowControl(Search{.Name = "微信", .searchDepth = 1})->PaneControl(Search{.Name = ""});
  EXPECT_EQ(click_and_target(chat_page->ButtonControl(Search{.foundIndex = 1})), "聊天信息");

  // The logout notice's "确定" sits at depth 4 from the desktop: a search
  // from the desktop limited to depth 6 finds it; an unlimited one finds
  // another program's first, a shallow one only another program's.
  client->advance_to(100);
  EXPECT_EQ(click_and_target(uia.ButtonControl(Search{.Name = "确定"})), "安装程序/确定");
  EXPECT_EQ(click_and_target(uia.ButtonControl(Search{.Name = "确定", .searchDepth = 2})), "提示/确定");
  EXPECT_FALSE(client->logged_in());
  EXPECT_EQ(click_and_target(uia.ButtonControl(Search{.Name = "确定", .searchDepth = 6})), "确定");
  EXPECT_EQ(click_and_target(uia.ButtonControl(Search{.Name = "登录", .searchDepth = 12, .Timeout = 0})), "登录");
  EXPECT_TRUE(client->logged_in());
}

TEST(ProcessExitTest, AnExitIsNotAnOrdinaryError) {
  auto client = make_sim_client();
  bool swallowed = false;
  auto attempt = [&] {
    try {
      client->shell()->exit(3);
    } catch (const std::exception&) {
      swallowed = true;
    }
  };
  try {
    attempt();
    FAIL() << "exit returned";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status(), 3);
  }
  EXPECT_FALSE(swallowed);
  static_assert(!std::is_base_of_v<std::exception, ProcessExit>);
}

}  // namespace
}  // namespace orvanta::sim
