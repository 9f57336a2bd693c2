#include "orvanta/robot/quote_reply.hpp"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/robot/config.hpp"
#include "robot/ui/sim_client_fixture.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// One call of a window message's quote, as the reply made it.
struct QuoteCall {
  std::size_t index;  // the message's place in its GetAllMessage read
  std::string text;
  std::optional<std::string> at;
};

// A window message that records how it is quoted, and can show an `info`
// that is not a mapping.
class RecordingMessage final : public wxauto::WindowMessage {
 public:
  RecordingMessage(std::shared_ptr<wxauto::WindowMessage> inner, std::size_t index, std::vector<QuoteCall>* calls,
                   bool broken_info)
      : inner_(std::move(inner)), index_(index), calls_(calls), broken_info_(broken_info) {}

  std::optional<std::string> sender() const override { return inner_->sender(); }
  std::optional<std::string> sender_remark() const override { return inner_->sender_remark(); }
  std::optional<std::string> content() const override { return inner_->content(); }
  std::optional<Json> info() const override { return broken_info_ ? Json("not a mapping") : inner_->info(); }
  bool has_quote() const override { return inner_->has_quote(); }
  void quote(const std::string& text, const std::optional<std::string>& at) override {
    calls_->push_back({index_, text, at});
    inner_->quote(text, at);
  }
  wxauto::Download download() override { return inner_->download(); }

 private:
  std::shared_ptr<wxauto::WindowMessage> inner_;
  std::size_t index_;
  std::vector<QuoteCall>* calls_;
  bool broken_info_;
};

// The simulated driver, with its messages wrapped in RecordingMessage.
class RecordingWeChat final : public wxauto::WeChat {
 public:
  explicit RecordingWeChat(std::shared_ptr<wxauto::WeChat> inner) : inner_(std::move(inner)) {}

  std::string nickname() const override { return inner_->nickname(); }
  Json GetNextNewMessage(bool filter_mute) override { return inner_->GetNextNewMessage(filter_mute); }
  void ChatWith(const std::string& who) override { inner_->ChatWith(who); }
  void SwitchToChat() override { inner_->SwitchToChat(); }
  void SwitchToContact() override { inner_->SwitchToContact(); }
  std::vector<std::string> CollectAllGroupNames() override { return inner_->CollectAllGroupNames(); }
  wxauto::WindowMessages GetAllMessage() override {
    wxauto::WindowMessages wrapped;
    last_read.clear();
    for (auto& msg : inner_->GetAllMessage()) {
      last_read.push_back(msg->content());
      bool broken = broken_content && msg->content() == broken_content;
      wrapped.push_back(std::make_shared<RecordingMessage>(msg, wrapped.size(), &calls, broken));
    }
    return wrapped;
  }
  void LoadMoreMessage() override { inner_->LoadMoreMessage(); }
  std::vector<std::string> GetGroupMembers() override { return inner_->GetGroupMembers(); }
  void SendMsg(const std::string& text, const std::string& who, const std::optional<std::string>& at) override {
    inner_->SendMsg(text, who, at);
  }

  std::vector<QuoteCall> calls;
  std::vector<std::optional<std::string>> last_read;
  // Messages showing this text have an `info` that is not a mapping.
  std::optional<std::string> broken_content;

 private:
  std::shared_ptr<wxauto::WeChat> inner_;
};

class QuoteReply : public testing::SimClientTest {
 protected:
  sim::SimOptions options() override {
    sim::SimOptions o;
    o.window_size = 5;
    o.load_step = 5;
    return o;
  }

  void SetUp() override {
    SimClientTest::SetUp();
    client_->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
    client_->add_group("H", {{"Alice", std::nullopt}});
    wx_ = std::make_shared<RecordingWeChat>(config.wx.get());
    config.wx.set(wx_);
  }

  void store(const std::string& msg_id, Json sender, const std::string& content, const std::string& recall_id = "") {
    config.db.get()->insert_messages(Json{{"group_name", "G"},
                                          {"type", "text"},
                                          {"content", content},
                                          {"sender", std::move(sender)},
                                          {"msg_id", msg_id},
                                          {"quote_id", ""},
                                          {"quote_content", ""},
                                          {"recall_id", recall_id},
                                          {"image_url", ""},
                                          {"have_checked", "false"},
                                          {"status", ""},
                                          {"img_md5", ""},
                                          {"timestamp", "2026-5-1-10:00:00"}});
  }

  void post_fillers(int n) {
    for (int i = 0; i < n; ++i) client_->post_text("G", "Bob", "filler " + std::to_string(i));
  }

  static std::string not_found(const std::string& msg_id) {
    return "发送消息失败 在 G 中未找到id=" + msg_id + " 的消息";
  }

  std::shared_ptr<RecordingWeChat> wx_;
};

TEST_F(QuoteReply, OpensTheChatAndDoesNothingElseForAnUnknownOrRecalledMessage) {
  const struct {
    const char* name;
    const char* stored_id;
    const char* recall_id;
  } cases[] = {{"unknown identifier", "other", ""}, {"recalled row", "m1", "wx0001001"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", "hello");
    store(c.stored_id, "Alice", "hello", c.recall_id);
    config.wx.get()->ChatWith("H");
    reply_with_quote("m1", "thanks", "G");
    EXPECT_EQ(client_->current_chat(), "G");
    EXPECT_THAT(client_->sent(), IsEmpty());
    EXPECT_THAT(wx_->calls, IsEmpty());
    EXPECT_EQ(count_actions("LoadMoreMessage"), 0u);
    EXPECT_THAT(printed(), IsEmpty());
    EXPECT_EQ(logged(), "");
  }
}

TEST_F(QuoteReply, MatchesTheSenderAndTheTextBeforeTheQuoteMarkerWithoutTrailingBlanks) {
  const struct {
    const char* name;
    const char* sender;
    const char* text;
    const char* quoted;  // posted as a reply quoting this when set
    bool matches;
  } cases[] = {
      {"trailing spaces", "Alice", "hello   ", nullptr, true},
      {"reply quoting another message", "Alice", "hello", "earlier words", true},
      {"further characters", "Alice", "hello world", nullptr, false},
      {"another sender", "Bob", "hello", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.quoted) {
      client_->post_quote("G", c.sender, c.text, c.quoted);
    } else {
      client_->post_text("G", c.sender, c.text);
    }
    store("m1", "Alice", "hello");
    reply_with_quote("m1", "thanks", "G");
    if (c.matches) {
      ASSERT_EQ(client_->sent().size(), 1u);
      EXPECT_EQ(client_->sent()[0].text, "thanks");
      EXPECT_THAT(printed(), IsEmpty());
      EXPECT_THAT(logged(), HasSubstr("info 已在G 中引用回复id=m1 的消息。"));
    } else {
      EXPECT_THAT(client_->sent(), IsEmpty());
      EXPECT_THAT(printed(), ElementsAre(not_found("m1")));
      EXPECT_THAT(logged(), Not(HasSubstr("引用回复")));
    }
  }
}

TEST_F(QuoteReply, QuotesTheNewerOfTwoIdenticalMessages) {
  client_->post_text("G", "Alice", "same");
  client_->post_text("G", "Alice", "same");
  client_->post_text("G", "Bob", "after");
  store("m1", "Alice", "same");
  reply_with_quote("m1", "thanks", "G");
  ASSERT_EQ(wx_->calls.size(), 1u);
  std::size_t newest = 0;
  for (std::size_t i = 0; i < wx_->last_read.size(); ++i)
    if (wx_->last_read[i] == "same") newest = i;
  EXPECT_EQ(wx_->calls[0].index, newest);
  EXPECT_GT(newest, 0u);
  EXPECT_EQ(wx_->last_read[newest - 1], "same");
}

TEST_F(QuoteReply, MentionsOnlyANonEmptyAt) {
  const struct {
    std::optional<std::string> at;
    std::optional<std::string> passed;
  } cases[] = {{std::nullopt, std::nullopt}, {"", std::nullopt}, {"Bob", "Bob"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at.value_or("<none>"));
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", "hello");
    store("m1", "Alice", "hello");
    reply_with_quote("m1", "thanks", "G", c.at);
    ASSERT_EQ(wx_->calls.size(), 1u);
    EXPECT_EQ(wx_->calls[0].at, c.passed);
    ASSERT_EQ(client_->sent().size(), 1u);
    EXPECT_EQ(client_->sent()[0].at, c.passed);
  }
}

TEST_F(QuoteReply, LoadsOlderHistoryUntilTheMessageShows) {
  client_->post_text("G", "Alice", "old");
  post_fillers(12);
  store("m1", "Alice", "old");
  reply_with_quote("m1", "thanks", "G");
  ASSERT_EQ(client_->sent().size(), 1u);
  EXPECT_EQ(client_->sent()[0].quoted, "old");
  // The window shows 5 of 14 lines; two loads of 5 reach the oldest.
  EXPECT_EQ(count_actions("LoadMoreMessage"), 2u);
  EXPECT_THAT(printed(), IsEmpty());
}

TEST_F(QuoteReply, AMissingMessageEndsTheSearchWithoutSending) {
  const struct {
    const char* name;
    int fillers;
    std::size_t loads;
  } cases[] = {
      // 13 lines with the time line: two loads show them all, the third
      // brings nothing new.
      {"history exhausted", 12, 3},
      {"history longer than the bound", 5 + 5 * kMaxQuoteHistoryLoads + 10, kMaxQuoteHistoryLoads},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    post_fillers(c.fillers);
    store("m1", "Alice", "gone");
    reply_with_quote("m1", "thanks", "G");
    EXPECT_THAT(client_->sent(), IsEmpty());
    EXPECT_EQ(count_actions("LoadMoreMessage"), c.loads);
    EXPECT_THAT(printed(), ElementsAre(not_found("m1")));
    EXPECT_EQ(logged(), "");
  }
}

TEST_F(QuoteReply, AFailureIsPrintedAndNothingIsSent) {
  const struct {
    const char* name;
    const char* fault;  // a fault switch, or a broken info when null
    const char* line;
  } cases[] = {
      {"opening the chat", "ChatWith", "发送消息失败 ChatWith: the client did not respond"},
      {"reading the window", "GetAllMessage", "发送消息失败 GetAllMessage: the client did not respond"},
      {"quoting", "quote", "发送消息失败 quote: the client did not respond"},
      {"info not a mapping", nullptr, "发送消息失败 the message's 'info' has no attribute 'get'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", "hello");
    store("m1", "Alice", "hello");
    if (c.fault) {
      client_->fail_on_call(c.fault, 1);
    } else {
      wx_->broken_content = "hello";
    }
    reply_with_quote("m1", "thanks", "G");
    EXPECT_THAT(client_->sent(), IsEmpty());
    EXPECT_THAT(printed(), ElementsAre(c.line));
    EXPECT_EQ(logged(), "");
  }
}

TEST_F(QuoteReply, AMessageThatCannotBeQuotedIsPassedOver) {
  client_->post_system("G", "群公告已更新");
  store("m1", nullptr, "群公告已更新");
  reply_with_quote("m1", "thanks", "G");
  EXPECT_THAT(client_->sent(), IsEmpty());
  EXPECT_THAT(wx_->calls, IsEmpty());
  EXPECT_THAT(printed(), IsEmpty());
  EXPECT_THAT(logged(), HasSubstr("已在G 中引用回复id=m1 的消息。"));
}

// --- moving between a reply and the message it quotes --------------------

class RunToMsg : public testing::SimClientTest {
 protected:
  void SetUp() override {
    SimClientTest::SetUp();
    client_->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
  }
};

TEST_F(RunToMsg, UsesTheFirstEntryHoldingTheTextAndCanGoBack) {
  client_->post_text("G", "Alice", "question");
  client_->post_quote("G", "Bob", "answer one", "question");
  client_->post_quote("G", "Alice", "answer two", "question");
  config.wx.get()->ChatWith("G");
  run_to_msg("answer");
  auto actions = client_->actions();
  ASSERT_FALSE(actions.empty());
  EXPECT_EQ(actions[actions.size() - 2].kind, "RightClick");
  EXPECT_THAT(actions[actions.size() - 2].target, HasSubstr("answer one"));
  EXPECT_EQ(actions.back().kind, "Click");
  return_run_to_msg();
  return_run_to_msg();
  EXPECT_THAT(printed(), ElementsAre("已右键“修改”消息", "已定位到原文位置", "已点击“回到引用位置”",
                                     "按钮未找到，请确认窗口已打开且消息已加载"));
}

TEST_F(RunToMsg, ReportsAMissingButtonOrMenuEntryOnlyOnStandardOutput) {
  const struct {
    const char* name;
    const char* content;
    double menu_delay;
    bool suppress;
    std::vector<std::string> lines;
  } cases[] = {
      {"menu within half a second", "reply", 0.3, false, {"已右键“修改”消息", "已定位到原文位置"}},
      {"menu too late", "reply", 0.8, false, {"已右键“修改”消息", "菜单未弹出或控件未渲染"}},
      {"menu never shows", "reply", 0.0, true, {"已右键“修改”消息", "菜单未弹出或控件未渲染"}},
      {"a text has no locate entry", "plain", 0.0, false, {"已右键“修改”消息", "菜单未弹出或控件未渲染"}},
      {"a system line has no button", "公告", 0.0, false, {"按钮层级异常，请 inspect.exe 确认"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", "plain");
    client_->post_quote("G", "Bob", "reply", "plain");
    client_->post_system("G", "公告");
    client_->set_menu_delay(c.menu_delay);
    client_->suppress_menu(c.suppress);
    config.wx.get()->ChatWith("G");
    run_to_msg(c.content);
    EXPECT_EQ(printed(), c.lines);
  }
}

TEST_F(RunToMsg, RaisesWhenThereIsNoListOrNoEntry) {
  client_->post_text("G", "Alice", "plain");
  try {
    run_to_msg("plain");
    ADD_FAILURE() << "no chat is open";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "未找到消息列表");
  }
  config.wx.get()->ChatWith("G");
  try {
    run_to_msg("absent");
    ADD_FAILURE() << "no entry holds the text";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "消息列表中未出现该信息");
  }
  EXPECT_THAT(printed(), IsEmpty());
}

}  // namespace
}  // namespace orvanta::robot
