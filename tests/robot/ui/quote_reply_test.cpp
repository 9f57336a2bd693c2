#include "orvanta/robot/quote_reply.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/window_reads.hpp"
#include "robot/ui/sim_client_fixture.hpp"

namespace orvanta::robot {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const char* const kLogged = "info 已在G 中引用回复id=m1 的消息。";
const char* const kNotFound = "发送消息失败 在 G 中未找到id=m1 的消息";

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
    client_->add_group("H", {});
  }

  void store(const std::string& msg_id, Json sender, const std::string& content, const std::string& recall_id = "") {
    Json row = {
        {"group_name", "G"}, {"type", "text"},         {"content", content},      {"sender", sender},
        {"msg_id", msg_id},  {"recall_id", recall_id}, {"have_checked", "false"}, {"timestamp", "2026-5-1-10:00:00"}};
    for (const char* key : {"quote_id", "quote_content", "image_url", "status", "img_md5"}) row[key] = "";
    config.db.get()->insert_messages(row);
  }

  void post_fillers(int n) {
    for (int i = 0; i < n; ++i) client_->post_text("G", "Bob", "filler " + std::to_string(i));
  }
};

TEST_F(QuoteReply, OnlyOpensTheChatForAnUnknownOrRecalledMessage) {
  for (const char* recall_id : {"", "wx0001001"}) {
    SCOPED_TRACE(recall_id);
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", "hello");
    store(*recall_id ? "m1" : "other", "Alice", "hello", recall_id);
    config.wx.get()->ChatWith("H");
    reply_with_quote("m1", "thanks", "G");
    EXPECT_EQ(client_->current_chat(), "G");
    EXPECT_THAT(client_->sent(), IsEmpty());
    EXPECT_EQ(count_actions("GetAllMessage"), 0u);
    EXPECT_THAT(printed(), IsEmpty());
    EXPECT_EQ(logged(), "");
  }
}

TEST_F(QuoteReply, QuotesTheNewestMessageWithTheSenderAndTheTextBeforeTheMarker) {
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> posted;  // sender, text, oldest first
    const char* quoted;                                       // shown text of the quoted message, or none
  } cases[] = {
      {"trailing spaces", {{"Alice", "hello   "}}, "hello   "},
      {"reply quoting another message", {{"Alice", "hello\n引用  的消息 : earlier"}}, "hello"},
      {"further characters", {{"Alice", "hello world"}}, nullptr},
      {"another sender", {{"Bob", "hello"}}, nullptr},
      {"the newer of two", {{"Alice", "hello"}, {"Alice", "hello "}, {"Bob", "after"}}, "hello "},
      {"the newer of two, reversed", {{"Alice", "hello "}, {"Alice", "hello"}}, "hello"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    for (const auto& [sender, text] : c.posted) {
      auto marker = text.find("\n引用");
      if (marker == std::string::npos) {
        client_->post_text("G", sender, text);
      } else {
        client_->post_quote("G", sender, text.substr(0, marker), text.substr(marker + kQuoteMarker.size() + 2));
      }
    }
    store("m1", "Alice", "hello");
    reply_with_quote("m1", "thanks", "G", "Bob");
    if (c.quoted) {
      ASSERT_EQ(client_->sent().size(), 1u);
      EXPECT_EQ(client_->sent()[0].quoted, c.quoted);
      EXPECT_EQ(client_->sent()[0].at, "Bob");
      EXPECT_THAT(printed(), IsEmpty());
      EXPECT_THAT(logged(), HasSubstr(kLogged));
    } else {
      EXPECT_THAT(client_->sent(), IsEmpty());
      EXPECT_THAT(printed(), ElementsAre(kNotFound));
      EXPECT_EQ(logged(), "");
    }
  }
}

// An empty mention is no mention: the reply is quoted without one.
TEST_F(QuoteReply, AnEmptyMentionQuotesWithoutOne) {
  client_->post_text("G", "Alice", "hello");
  store("m1", "Alice", "hello");
  reply_with_quote("m1", "thanks", "G", "");
  ASSERT_EQ(client_->sent().size(), 1u);
  EXPECT_EQ(client_->sent()[0].quoted, "hello");
  EXPECT_EQ(client_->sent()[0].at, std::nullopt);
  EXPECT_THAT(logged(), HasSubstr(kLogged));
}

TEST_F(QuoteReply, LoadsOlderHistoryBoundedly) {
  const struct {
    const char* name;
    int fillers;
    bool present;
    std::size_t loads;
  } cases[] = {
      // 14 lines with the time line, 5 shown: two loads reach the oldest.
      {"found in older history", 12, true, 2},
      // Then a third load brings nothing new.
      {"history exhausted", 12, false, 3},
      {"history longer than the bound", 5 + 5 * kMaxQuoteHistoryLoads + 10, false, kMaxQuoteHistoryLoads},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", c.present ? "old" : "other");
    post_fillers(c.fillers);
    store("m1", "Alice", "old");
    reply_with_quote("m1", "thanks", "G");
    EXPECT_EQ(client_->sent().size(), c.present ? 1u : 0u);
    EXPECT_EQ(count_actions("LoadMoreMessage"), c.loads);
    EXPECT_EQ(printed(), c.present ? std::vector<std::string>{} : std::vector<std::string>{kNotFound});
  }
}

TEST_F(QuoteReply, AFailureIsPrintedAndNothingIsSent) {
  const struct {
    const char* fault;  // a fault switch, or a line whose info is not a mapping
    const char* line;
  } cases[] = {
      {"ChatWith", "发送消息失败 ChatWith: the client did not respond"},
      {"GetAllMessage", "发送消息失败 GetAllMessage: the client did not respond"},
      {"quote", "发送消息失败 quote: the client did not respond"},
      {nullptr, "发送消息失败 the message's 'info' has no attribute 'get'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TearDown();
    SetUp();
    client_->post_text("G", "Alice", "hello");
    if (c.fault) {
      client_->fail_on_call(c.fault, 1);
    } else {
      sim::RawLine raw;
      raw.info = Json("hello");
      raw.content = "hello";
      raw.sender = "Alice";
      client_->post_raw("G", raw);
    }
    store("m1", "Alice", "hello");
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
  EXPECT_THAT(printed(), IsEmpty());
  EXPECT_THAT(logged(), HasSubstr(kLogged));
}

// --- moving between a reply and the message it quotes --------------------

class RunToMsg : public testing::SimClientTest {
 protected:
  void SetUp() override {
    SimClientTest::SetUp();
    client_->add_group("G", {{"Alice", std::nullopt}, {"Bob", std::nullopt}});
    client_->post_text("G", "Alice", "plain");
    client_->post_quote("G", "Bob", "reply one", "plain");
    client_->post_quote("G", "Alice", "reply two", "plain");
    client_->post_system("G", "公告");
  }
};

TEST_F(RunToMsg, UsesTheFirstEntryHoldingTheTextAndCanGoBack) {
  config.wx.get()->ChatWith("G");
  run_to_msg("reply");
  auto actions = client_->actions();
  ASSERT_GE(actions.size(), 2u);
  EXPECT_EQ(actions[actions.size() - 2].kind, "RightClick");
  EXPECT_THAT(actions[actions.size() - 2].target, HasSubstr("reply one"));
  return_run_to_msg();
  return_run_to_msg();
  EXPECT_THAT(printed(), ElementsAre("已右键“修改”消息", "已定位到原文位置", "已点击“回到引用位置”",
                                     "按钮未找到，请确认窗口已打开且消息已加载"));
}

TEST_F(RunToMsg, ReportsAMissingButtonOrMenuEntryOnStandardOutput) {
  const std::string clicked = "已右键“修改”消息", no_menu = "菜单未弹出或控件未渲染";
  const struct {
    const char* content;
    double menu_delay;
    bool suppress;
    std::vector<std::string> lines;
  } cases[] = {
      {"reply", 0.3, false, {clicked, "已定位到原文位置"}},
      {"reply", 0.8, false, {clicked, no_menu}},
      {"reply", 0.0, true, {clicked, no_menu}},
      {"plain", 0.0, false, {clicked, no_menu}},  // a text's menu has no locate entry
      {"公告", 0.0, false, {"按钮层级异常，请 inspect.exe 确认"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.content) + " " + std::to_string(c.menu_delay));
    TearDown();
    SetUp();
    client_->set_menu_delay(c.menu_delay);
    client_->suppress_menu(c.suppress);
    config.wx.get()->ChatWith("G");
    run_to_msg(c.content);
    EXPECT_EQ(printed(), c.lines);
  }
}

TEST_F(RunToMsg, RaisesWhenThereIsNoListOrNoEntry) {
  for (const char* expected : {"未找到消息列表", "消息列表中未出现该信息"}) {
    try {
      run_to_msg("absent");
      ADD_FAILURE() << expected;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), expected);
    }
    config.wx.get()->ChatWith("G");
  }
}

}  // namespace
}  // namespace orvanta::robot
