// Member-join detection on the text of group notices.

#include "orvanta/robot/member_join.hpp"

#include <string_view>
#include <vector>

#include "orvanta/errors.hpp"

namespace orvanta::robot {
namespace {

constexpr std::string_view kJoined = "加入群聊";
constexpr std::string_view kJoinedPast = "加入了群聊";
constexpr std::string_view kInvited = "邀请";
// What follows the inviter's name when the account itself was invited.
constexpr std::string_view kInvitedYou = "邀请你加入";

// `content` split at every ASCII double quote.
std::vector<std::string_view> quote_pieces(std::string_view content) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const auto at = content.find('"');
    pieces.push_back(content.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    content.remove_prefix(at + 1);
  }
}

}  // namespace

bool is_new_member_message(const Json& info) {
  if (!info.is_object()) throw AttributeError(std::string("'") + info.type_name() + "' object has no attribute 'get'");
  const auto type = info.find("type");
  if (type == info.end() || !type->is_string() || type->get_ref<const std::string&>() != "base") return false;
  const auto content = info.find("content");
  if (content == info.end() || !content->is_string()) throw TypeError("join notice test: the content is not text");
  const auto& text = content->get_ref<const std::string&>();
  return text.find(kJoined) != std::string::npos || text.find(kJoinedPast) != std::string::npos;
}

std::string extract_new_member_names(const std::string& content) {
  const auto pieces = quote_pieces(content);
  if (pieces.size() < 2) throw IndexError("list index out of range");
  return std::string(pieces[1]);
}

std::string joined_member_names(const std::string& content, const std::string& account_name) {
  const auto pieces = quote_pieces(content);
  // "<inviter>"邀请"<member>"加入了群聊 splits into
  // ["", inviter, "邀请", member, "加入了群聊"].
  if (pieces.size() >= 5 && pieces[2] == kInvited) return std::string(pieces[3]);
  // "<inviter>"邀请你加入了群聊: the account is the one that joined.
  if (pieces.size() == 3 && pieces[2].starts_with(kInvitedYou)) return account_name;
  return extract_new_member_names(content);
}

bool is_add(const std::string& chat_content, const std::string& db_content) {
  return chat_content == db_content;
}

}  // namespace orvanta::robot
