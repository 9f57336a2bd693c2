#pragma once

// What happens to one window message of a listened group: whether it is a
// chat record worth storing at all, and, for a new one, storing it and
// raising the event it stands for.
//
// Thread-safety: both run on the listening thread, which drives the client.

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "orvanta/robot/export.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::robot {

// Whether `msg` is a chat record: a "text", "other", "image" or "base" line
// that is not an "other" line whose attr contains "base", not a time
// separator ("base" with "time" in its attr) and not the divider above unread
// messages ("base", attr "system", content containing "下为新消息"). Recall,
// join and other system notices are records. Has no side effects; raises
// TypeError when a read that must be text is not (an attr that is not text).
ORVANTA_ROBOT_EXPORT bool is_record(const wxauto::WindowMessage& msg);
// The same test on a message's `info` already read (one read of the info
// instead of one per key).
ORVANTA_ROBOT_EXPORT bool is_record_info(const Json& info);

// 处理当前窗口消息 新人加群 撤回信息 新消息
// Stores one new message of the group `nickname` and raises its event. By the
// first rule that applies:
//  - a picture is downloaded and keyed, stored, and reported to
//    deal_group_msg as type "image" pointing at the downloaded file (which
//    stays on disk);
//  - an "other" line (a quoting reply) is stored with the quoted text and,
//    when a stored row of the group has that text (or, for a quoted picture,
//    that picture key), that row's identifier; then reported;
//  - a recall notice is stored with a fresh recall identifier, nothing raised;
//  - the account's own message is stored as type "self", nothing raised;
//  - a join notice is stored as checked and group_increase_func is awaited
//    with the joined member's name(s) and the group;
//  - any other non-"text" line is dropped;
//  - a text is stored and reported to deal_group_msg.
// The row is stored before its handler runs. Catches nothing: errors of the
// client, the picture file, the store, the image capture and the handlers
// reach the caller; a picture download that gives no path raises OSError.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> db_update_msg(std::shared_ptr<wxauto::WindowMessage> msg,
                                                                std::string nickname);

}  // namespace orvanta::robot
