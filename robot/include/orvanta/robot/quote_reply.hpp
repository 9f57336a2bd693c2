#pragma once

// Replying to a stored message with a quotation of it, and moving between a
// quoting reply and the message it quotes in the open chat.
//
// Thread-safety: each operation drives the client's window and takes no lock;
// the system calls them only from the thread that drives the client.

#include <optional>
#include <string>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// How many times the search for the message to quote loads older history
// before it gives up.
inline constexpr int kMaxQuoteHistoryLoads = 20;

// "通过 msg.id 定位消息并引用回复"
//   msg_id: "目标消息的 id（字符串）"; reply_text: "要回复的文本内容";
//   chat_name: "要回复的群名".
// Opens the chat, looks the stored message up by its identifier and answers
// the newest window message with the same sender and comparable text (its
// shown text before the quote marker, trailing white space removed), loading
// older history as needed. `at` is mentioned only when it is non-empty.
// Nothing happens after opening the chat when the store does not know the
// identifier or the message was recalled. Never raises an ordinary error: a
// failure, including a message that is not found after loading stops
// bringing older history or after kMaxQuoteHistoryLoads loads, is printed as
// "发送消息失败 <error>" and nothing is sent.
ORVANTA_ROBOT_EXPORT void reply_with_quote(const std::string& msg_id, const std::string& reply_text,
                                           const std::string& chat_name,
                                           const std::optional<std::string>& at = std::nullopt);

// Finds the first entry of the open chat's message list whose name contains
// `content` and, through its context menu, jumps to the message it quotes.
// Raises std::runtime_error "未找到消息列表" when no message list appears
// within 0.5 s, "消息列表中未出现该信息" when no entry contains the text; a
// missing button or menu entry is only printed. Errors of the automation
// layer pass to the caller.
ORVANTA_ROBOT_EXPORT void run_to_msg(const std::string& content);

// Presses the client's button that leads back from a quoted message to the
// reply quoting it; a missing button is only printed.
ORVANTA_ROBOT_EXPORT void return_run_to_msg();

}  // namespace orvanta::robot
