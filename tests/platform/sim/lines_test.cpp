// Lines of every shape the system meets in a chat window, put there by
// scenario files: replies linked to what they quote, raw lines, chat kinds,
// every join form, and the own lines sent from another device.

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"
#include "orvanta/sim/sim_client.hpp"

namespace orvanta::sim {
namespace {

using uia::Search;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LinesTest : public ::testing::Test {
 protected:
  // Loads the scenario (chats G, a group with Alice and Bob, and Carol, a
  // friend, plus `extra`'s members) and opens G.
  void load(const Json& timeline, Json extra = Json::object()) {
    Json scenario = {
        {"account", {{"nickname", "me"}}},
        {"chats",
         {{{"name", "G"}, {"type", "group"}, {"members", {"Alice", "Bob"}}}, {{"name", "Carol"}, {"type", "friend"}}}},
        {"timeline", timeline}};
    scenario.update(extra);
    client = make_sim_client();
    client->load_scenario(scenario);
    driver = client->driver();
    wx = driver->MakeWeChat();
  }

  // The window of `chat` after reading it, with no unread divider.
  wxauto::WindowMessages read_window(const std::string& chat = "G") {
    wx->ChatWith(chat);
    wx->ChatWith(chat == "Carol" ? "G" : "Carol");
    wx->ChatWith(chat);
    return wx->GetAllMessage();
  }

  // What "复制" on the entry containing `text` puts on the clipboard, reached
  // as the image capture reaches it: the entry's Pane > Pane > Button,
  // clicked and right-clicked, then "复制" searched from the desktop.
  ClipboardData copy_entry(const std::string& text) {
    auto list =
        driver->Uia().WindowControl(Search{.Name = "微信", .searchDepth = 1})->ListControl(Search{.Name = "消息"});
    for (const auto& item : list->GetChildren()) {
      if (item->Name().find(text) == std::string::npos) continue;
      auto button = item->PaneControl(Search{.foundIndex = 1})
                        ->PaneControl(Search{.foundIndex = 1})
                        ->ButtonControl(Search{.foundIndex = 1});
      button->Click();
      button->RightClick();
      driver->Uia().MenuItemControl(Search{.Name = "复制"})->Click();
      auto clip = client->clipboard();
      clip->OpenClipboard();
      unsigned format =
          clip->IsClipboardFormatAvailable(Clipboard::CF_HDROP) ? Clipboard::CF_HDROP : Clipboard::CF_UNICODETEXT;
      auto data = clip->GetClipboardData(format);
      clip->CloseClipboard();
      return data;
    }
    ADD_FAILURE() << "no entry contains " << text;
    return {};
  }

  std::shared_ptr<SimClient> client;
  std::shared_ptr<wxauto::Driver> driver;
  std::shared_ptr<wxauto::WeChat> wx;
};

TEST_F(LinesTest, ALinkedReplyShowsTheQuotedLinesTextAndCopiesTheQuotedPicture) {
  load({{{"at", -9}, {"event", "text"}, {"chat", "G"}, {"sender", "Alice"}, {"text", "plan"}, {"id", "t"}},
        {{"at", -8}, {"event", "image"}, {"chat", "G"}, {"sender", "Bob"}, {"bytes", "PICTURE"}, {"id", "p"}},
        {{"at", -7},
         {"event", "quote"},
         {"chat", "G"},
         {"sender", "Alice"},
         {"text", "nice"},
         {"quoted_id", "p"},
         {"id", "q"}},
        {{"at", -6}, {"event", "quote"}, {"chat", "G"}, {"sender", "Bob"}, {"text", "ok"}, {"quoted_id", "t"}},
        {{"at", -5}, {"event", "own"}, {"chat", "G"}, {"text", "agreed"}, {"quoted_id", "q"}}});
  auto window = read_window();
  ASSERT_EQ(window.size(), 6u);
  EXPECT_EQ(window[3]->content(), "nice\n引用  的消息 : [图片]");
  EXPECT_EQ(window[4]->content(), "ok\n引用  的消息 : plan");
  // A reply is quoted by its own text; the account's reply is an "other"
  // line of its own.
  EXPECT_EQ(window[5]->info().value(),
            (Json{{"type", "other"}, {"content", "agreed\n引用  的消息 : nice"}, {"attr", "self"}}));

  auto files = std::get<std::vector<std::string>>(copy_entry("nice"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(read_file(files[0]), "PICTURE");
  EXPECT_TRUE(client->image_viewer_open());
  EXPECT_EQ(std::get<std::string>(copy_entry("ok")), "ok\n引用  的消息 : plan");

  // The quoted picture recalled: nothing to copy but the reply's text.
  client->recall(client->line("p"));
  EXPECT_EQ(std::get<std::string>(copy_entry("nice")), "nice\n引用  的消息 : [图片]");
}

TEST_F(LinesTest, TheSystemsQuotedReplyIsLinkedToo) {
  load({{{"at", -9}, {"event", "image"}, {"chat", "G"}, {"sender", "Bob"}, {"bytes", "PIC"}}});
  auto window = read_window();
  window.back()->quote("thanks");
  EXPECT_EQ(wx->GetAllMessage().back()->content(), "thanks\n引用  的消息 : [图片]");
  EXPECT_EQ(read_file(std::get<std::vector<std::string>>(copy_entry("thanks")).at(0)), "PIC");
  EXPECT_EQ(client->sent().at(0).quoted, "[图片]");
}

TEST_F(LinesTest, AQuoteOfAnUnknownIdOrOfALineInAnotherChatIsRejected) {
  EXPECT_THROW(load({{{"at", 0}, {"event", "quote"}, {"chat", "G"}, {"sender", "A"}, {"quoted_id", "x"}}}), ValueError);
  load({{{"at", -2}, {"event", "private"}, {"chat", "Carol"}, {"text", "hi"}, {"id", "c"}},
        {{"at", 5}, {"event", "quote"}, {"chat", "G"}, {"sender", "Alice"}, {"text", "r"}, {"quoted_id", "c"}}});
  EXPECT_THROW(client->advance_to(5), LookupError);
}

TEST_F(LinesTest, RawLinesGiveInfoContentSenderAndRemarkExactlyAsWritten) {
  struct Case {
    Json event;  // the raw event's members
    std::optional<Json> info;
    std::optional<std::string> content;
    std::optional<std::string> sender;
    std::optional<std::string> remark;
    bool quotable;
  };
  const Json own_picture = {{"type", "image"}, {"attr", "self"}, {"content", "[图片]"}};
  const std::vector<Case> cases = {
      // No info at all.
      {{{"content", "x"}, {"sender", "Alice"}}, std::nullopt, "x", "Alice", std::nullopt, true},
      // An info that is not a mapping.
      {{{"info", "text"}, {"content", "y"}}, Json("text"), "y", std::nullopt, std::nullopt, false},
      {{{"info", nullptr}}, Json(nullptr), std::nullopt, std::nullopt, std::nullopt, false},
      // A mapping without keys; one with only a type.
      {{{"info", Json::object()}}, Json::object(), std::nullopt, std::nullopt, std::nullopt, false},
      {{{"info", {{"type", "text"}}}, {"sender", "Bob"}, {"remark", "B"}},
       Json{{"type", "text"}},
       std::nullopt,
       "Bob",
       "B",
       true},
      // The content attribute differs from the info's content.
      {{{"info", {{"type", "text"}, {"attr", "friend"}, {"content", "shown"}}}, {"content", "attribute"}},
       Json{{"type", "text"}, {"attr", "friend"}, {"content", "shown"}},
       "attribute",
       std::nullopt,
       std::nullopt,
       false},
      // An "other" member line without the quote marker.
      {{{"info", {{"type", "other"}, {"attr", "friend"}, {"content", "card"}}}, {"sender", "Alice"}},
       Json{{"type", "other"}, {"attr", "friend"}, {"content", "card"}},
       std::nullopt,
       "Alice",
       std::nullopt,
       true},
      // A picture whose attr is neither "friend" nor "self", and an unknown type.
      {{{"info", {{"type", "image"}, {"attr", "stranger"}, {"content", "[图片]"}}}, {"bytes", "P"}},
       Json{{"type", "image"}, {"attr", "stranger"}, {"content", "[图片]"}},
       std::nullopt,
       std::nullopt,
       std::nullopt,
       false},
      {{{"info", {{"type", "video"}, {"attr", "friend"}, {"content", "[视频]"}}}, {"quotable", true}},
       Json{{"type", "video"}, {"attr", "friend"}, {"content", "[视频]"}},
       std::nullopt,
       std::nullopt,
       std::nullopt,
       true},
      {{{"info", own_picture}, {"sender", "me"}, {"content", "[图片]"}},
       own_picture,
       "[图片]",
       "me",
       std::nullopt,
       true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    Json event = cases[i].event;
    event.update({{"at", -1}, {"event", "raw"}, {"chat", "G"}});
    load(Json::array({event}));
    auto line = read_window().back();
    EXPECT_EQ(line->info(), cases[i].info);
    EXPECT_EQ(line->content(), cases[i].content);
    EXPECT_EQ(line->sender(), cases[i].sender);
    EXPECT_EQ(line->sender_remark(), cases[i].remark);
    EXPECT_EQ(line->has_quote(), cases[i].quotable);
  }
}

TEST_F(LinesTest, ARawLineMarksTheChatUnreadUnlessItIsOwnAndItsPictureCanBeSaved) {
  load({{{"at", 1}, {"event", "raw"}, {"chat", "G"}, {"info", {{"type", "image"}, {"attr", "x"}}}, {"bytes", "B"}},
        {{"at", 2}, {"event", "raw"}, {"chat", "Carol"}, {"info", {{"type", "text"}, {"attr", "self"}}}}});
  client->advance_to(2);
  EXPECT_EQ(wx->GetNextNewMessage(true)["chat_name"], "G");
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
  EXPECT_EQ(read_file(*wx->GetAllMessage().back()->download().path), "B");
}

TEST_F(LinesTest, AnyChatKindIsPassedOnAsTheChatType) {
  load({{{"at", 1}, {"event", "private"}, {"chat", "公众号"}, {"text", "news"}}},
       {{"chats", {{{"name", "公众号"}, {"type", "official"}}, {{"name", "G"}, {"type", "group"}}}}});
  client->add_chat("服务号", "service");
  client->post_text("服务号", "服务号", "bill");
  client->advance_to(1);
  EXPECT_EQ(wx->GetNextNewMessage(true), (Json{{"chat_name", "公众号"}, {"chat_type", "official"}, {"msg", "news"}}));
  EXPECT_EQ(wx->GetNextNewMessage(true)["chat_type"], "service");
  EXPECT_THROW(client->load_scenario(Json::parse(R"({"chats": [{"name": "x", "type": 3}]})")), ValueError);
}

TEST_F(LinesTest, JoinNoticesInEveryFormAddTheirMembers) {
  struct Case {
    Json event;
    std::string notice;
    std::vector<std::string> added;
  };
  const std::vector<Case> cases = {
      {{{"member", "Eve"}, {"inviter", "Alice"}}, "\"Alice\"邀请\"Eve\"加入了群聊", {"Eve"}},
      {{{"member", "Eve"}}, "\"Eve\"通过扫描二维码加入群聊", {"Eve"}},
      {{{"member", "Eve"}, {"sharer", "Bob"}}, "\"Eve\"通过扫描\"Bob\"分享的二维码加入群聊", {"Eve"}},
      {{{"members", {"Eve", "Finn", "Gus"}}, {"inviter", "Alice"}},
       "\"Alice\"邀请\"Eve、Finn、Gus\"加入了群聊",
       {"Eve", "Finn", "Gus"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.notice);
    Json event = c.event;
    event.update({{"at", 1}, {"event", "join"}, {"chat", "G"}});
    load(Json::array({event}));
    client->advance_to(1);
    EXPECT_EQ(wx->GetNextNewMessage(true)["msg"], c.notice);
    EXPECT_EQ(wx->GetAllMessage().back()->info().value(),
              (Json{{"type", "base"}, {"content", c.notice}, {"attr", "system"}}));
    std::vector<std::string> expected = {"Alice", "Bob"};
    expected.insert(expected.end(), c.added.begin(), c.added.end());
    EXPECT_EQ(wx->GetGroupMembers(), expected);
  }
  load(Json::array());
  client->invite("G", "Alice", {"Hal", "Ivy"});
  wx->ChatWith("G");
  EXPECT_EQ(wx->GetAllMessage().back()->content(), "\"Alice\"邀请\"Hal、Ivy\"加入了群聊");
  EXPECT_THROW(client->join_by_shared_qr("Carol", "Hal", "Bob"), ValueError);
  EXPECT_THROW(client->invite("G", "Alice", {}), ValueError);
}

TEST_F(LinesTest, OwnPicturesAndRepliesFromAnotherDeviceAreOwnLinesThatMarkNothingUnread) {
  load({{{"at", -1}, {"event", "text"}, {"chat", "G"}, {"sender", "Alice"}, {"text", "q"}, {"id", "q"}},
        {{"at", 1}, {"event", "own"}, {"chat", "G"}, {"bytes", "MINE"}, {"file_name", "mine.png"}},
        {{"at", 2}, {"event", "own"}, {"chat", "G"}, {"text", "a"}, {"quoted_id", "q"}}});
  client->advance_to(2);
  EXPECT_EQ(wx->GetNextNewMessage(true), Json::object());
  auto window = read_window();
  auto picture = window[window.size() - 2];
  EXPECT_EQ(picture->info().value(), (Json{{"type", "image"}, {"content", "[图片]"}, {"attr", "self"}}));
  EXPECT_EQ(picture->sender(), "me");
  EXPECT_EQ(read_file(*picture->download().path), "MINE");
  EXPECT_EQ(window.back()->content(), "a\n引用  的消息 : q");
  EXPECT_EQ(window.back()->info().value()["attr"], "self");
}

TEST_F(LinesTest, SavingAPictureFailsWhenItLeftTheWindowOrWasRecalled) {
  load({{{"at", -1}, {"event", "image"}, {"chat", "G"}, {"sender", "Bob"}, {"bytes", "P"}, {"id", "p"}}});
  auto picture = read_window().back();
  ASSERT_TRUE(picture->download().path);
  wx->SwitchToContact();
  EXPECT_THROW(picture->download(), LookupError);
  wx->SwitchToChat();
  ASSERT_TRUE(picture->download().path);
  wx->ChatWith("Carol");
  EXPECT_THROW(picture->download(), LookupError);
  wx->ChatWith("G");
  // The list was rebuilt when G was opened again: the old message stays
  // stale, a fresh read saves the picture.
  EXPECT_THROW(picture->download(), LookupError);
  picture = read_window().back();
  ASSERT_TRUE(picture->download().path);
  client->recall(client->line("p"));
  EXPECT_THROW(picture->download(), LookupError);
}

}  // namespace
}  // namespace orvanta::sim
