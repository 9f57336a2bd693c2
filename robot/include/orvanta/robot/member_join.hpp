#pragma once

// Text tests on the system notices of a group chat: whether a notice says
// that someone joined, which name it carries, and whether two join notices
// are the same.
//
// A join notice is a "base" line whose text contains "加入群聊" or
// "加入了群聊". Names in a notice stand between ASCII double quotes (U+0022);
// no other quotation marks delimit a name.
//
// Thread-safety: pure functions.

#include <string>

#include "orvanta/json.hpp"
#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// Whether the info mapping `info` of a window message is a join notice: its
// "type" is exactly "base" and its "content" contains "加入群聊" or
// "加入了群聊". A missing "type" counts as not "base" and "content" is then
// not looked at. Raises TypeError when the "content" of a "base" message is
// missing or not text, AttributeError when `info` is not a mapping.
ORVANTA_ROBOT_EXPORT bool is_new_member_message(const Json& info);

// The first quoted name of a notice: the text after the first double quote up
// to the second (to the end when there is only one). Raises IndexError when
// the text holds no double quote.
ORVANTA_ROBOT_EXPORT std::string extract_new_member_names(const std::string& content);

// The name(s) of whoever joined, as a notice shows them. The invitation form
// "<inviter>"邀请"<member>"加入了群聊 names the inviter first, so for it the
// text between the second pair of quotes is taken (several invited members
// stand there together, as the client lists them); every other form names
// the member first and gives what extract_new_member_names gives, except
// "<inviter>"邀请你加入了群聊, where the account itself joined: that gives
// `account_name`. Raises IndexError when the text holds no double quote.
ORVANTA_ROBOT_EXPORT std::string joined_member_names(const std::string& content, const std::string& account_name);

// Whether a join notice read from the window equals one read from the store:
// plain equality of the two texts.
ORVANTA_ROBOT_EXPORT bool is_add(const std::string& chat_content, const std::string& db_content);

}  // namespace orvanta::robot
