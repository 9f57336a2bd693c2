#include "orvanta/robot/member_join.hpp"

#include <string>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"

namespace orvanta::robot {
namespace {

Json info(const char* type, const char* content) {
  return Json{{"type", type}, {"content", content}, {"attr", "system"}};
}

TEST(IsNewMemberMessage, RecognisesBothJoinTextsOnSystemLinesOnly) {
  struct Case {
    Json info;
    bool expected;
  } cases[] = {
      {info("base", "\"Alice\"通过扫描二维码加入群聊"), true},
      {info("base", "\"Alice\"邀请\"Bob\"加入了群聊"), true},
      {info("base", "\"Alice\" 撤回了一条消息"), false},
      {info("text", "我加入群聊了"), false},
      {info("other", "加入了群聊"), false},
      {Json{{"content", "加入群聊"}}, false},  // no type: not a system line
  };
  for (const auto& c : cases) EXPECT_EQ(is_new_member_message(c.info), c.expected) << c.info.dump();
}

TEST(IsNewMemberMessage, ASystemLineWithoutTextIsAnError) {
  EXPECT_THROW(is_new_member_message(Json{{"type", "base"}}), TypeError);
  EXPECT_THROW(is_new_member_message(Json{{"type", "base"}, {"content", 3}}), TypeError);
  // The text of any other line is not looked at.
  EXPECT_FALSE(is_new_member_message(Json{{"type", "text"}}));
}

TEST(MemberNames, TheFirstQuotedNameOrTheInvitedOnes) {
  struct Case {
    const char* content;
    const char* first;   // extract_new_member_names
    const char* joined;  // joined_member_names
  } cases[] = {
      {"\"Alice\"通过扫描二维码加入群聊", "Alice", "Alice"},
      {"\"Alice\"邀请\"Bob\"加入了群聊", "Alice", "Bob"},
      {"\"Alice\"邀请\"Bob、Carol\"加入了群聊", "Alice", "Bob、Carol"},
      {"\"Alice\"加入了群聊", "Alice", "Alice"},
      {"只有一个\"引号之后", "引号之后", "引号之后"},
      {"\"\"加入群聊", "", ""},
      // The account itself was invited: it is the one that joined.
      {"\"Alice\"邀请你加入了群聊", "Alice", "群管助手"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extract_new_member_names(c.content), c.first) << c.content;
    EXPECT_EQ(joined_member_names(c.content, "群管助手"), c.joined) << c.content;
  }
  EXPECT_THROW(extract_new_member_names("没有引号加入群聊"), IndexError);
  EXPECT_THROW(joined_member_names("没有引号加入群聊", "群管助手"), IndexError);
}

TEST(IsAdd, IsPlainEquality) {
  EXPECT_TRUE(is_add("\"A\"加入了群聊", "\"A\"加入了群聊"));
  EXPECT_FALSE(is_add("\"A\"加入了群聊", "\"A\"加入了群聊 "));
}

}  // namespace
}  // namespace orvanta::robot
