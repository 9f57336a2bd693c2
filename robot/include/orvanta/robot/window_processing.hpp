#pragma once

// One pass over a group's chat window: new messages, member joins, recalls,
// and the ageing of stored rows.
//
// Thread-safety: runs on the listening thread's event loop, which drives the
// client; while it awaits a handler, queued client tasks may run on the same
// loop.

#include <string>

#include <boost/asio/awaitable.hpp>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// 处理当前窗口消息 新人加群 撤回信息 新消息
// Opens the chat `nickname`. When the group's history is synchronised, every
// window message newer than the store is stored and reported, oldest first
// (a listed group not yet synchronised is synchronised instead). Then the
// group's unchecked rows are paired with the window by position: a row whose
// place shows a recall notice gets a recall identifier and
// handle_message_recall is awaited for it; rows more than two minutes old are
// marked checked. Older history is loaded at most twice. A failed window read
// of the recall check is printed as "获取消息失败: <error>" and ends the pass
// normally; every other error reaches the caller.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> deal_msg(std::string nickname);

}  // namespace orvanta::robot
