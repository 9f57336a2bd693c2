// Quoted replies and moving between a reply and the message it quotes.

#include "orvanta/robot/quote_reply.hpp"

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/platform.hpp"
#include "orvanta/robot/window_reads.hpp"

namespace orvanta::robot {
namespace {

// The truth of a stored value as the store's callers read it: null, false,
// zero and empty values are false.
bool truthy(const Json& value) {
  if (value.is_null()) return false;
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0.0;
  if (value.is_string()) return !value.get_ref<const std::string&>().empty();
  return !value.empty();
}

// The text a window message is compared by: its shown text up to the quote
// marker, without trailing white space. A message whose `info` is not a
// mapping has none, which fails the reply.
std::string comparable_text(const wxauto::WindowMessage& msg) {
  std::optional<Json> content = guarded_read(msg, "content");
  if (!content) throw AttributeError("the message's 'info' has no attribute 'get'");
  return cut_before(text_of(content), kQuoteMarkerCompare);
}

// Whether the stored row's sender (null for none) is the message's.
bool same_sender(const Json& stored, const std::optional<std::string>& shown) {
  if (stored.is_null()) return !shown.has_value();
  return shown.has_value() && stored.is_string() && stored.get_ref<const std::string&>() == *shown;
}

bool same_content(const Json& stored, const std::string& comparable) {
  return stored.is_string() && stored.get_ref<const std::string&>() == comparable;
}

// The newest loaded message that shows the stored row, or null.
std::shared_ptr<wxauto::WindowMessage> newest_match(const wxauto::WindowMessages& messages, const Json& row) {
  const Json sender = row.value("sender", Json());
  const Json content = row.value("content", Json());
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    const wxauto::WindowMessage& msg = **it;
    // The comparable text is read first, so a malformed message fails the
    // reply whoever sent it.
    const std::string comparable = comparable_text(msg);
    if (same_sender(sender, msg.sender()) && same_content(content, comparable)) return *it;
  }
  return nullptr;
}

void reply(const std::string& msg_id, const std::string& reply_text, const std::string& chat_name,
           const std::optional<std::string>& at) {
  // The chat is opened before anything is looked up, so it is open even
  // when nothing is sent.
  config.wx.get()->ChatWith(chat_name);
  Rows rows = config.db.get()->get_latest_messages(1, LatestQuery{.group_name = chat_name, .msg_id = msg_id});
  if (rows.empty()) return;
  const Row& row = rows.front();
  if (truthy(row.value("recall_id", Json()))) return;

  // Older history is loaded until the message shows. A message that is no
  // longer in the chat would otherwise load without end, so the search stops
  // when a load brings nothing new or after a bounded number of loads.
  std::shared_ptr<wxauto::WindowMessage> target;
  std::optional<std::size_t> loaded_before;
  for (int loads = 0;; ++loads) {
    const wxauto::WindowMessages messages = config.wx.get()->GetAllMessage();
    target = newest_match(messages, row);
    if (target) break;
    if ((loaded_before && messages.size() <= *loaded_before) || loads == kMaxQuoteHistoryLoads)
      throw LookupError("在 " + chat_name + " 中未找到id=" + msg_id + " 的消息");
    loaded_before = messages.size();
    config.wx.get()->LoadMoreMessage();
  }

  // A message that cannot be answered with a quotation is passed over.
  if (target->has_quote()) {
    if (at && !at->empty()) {
      target->quote(reply_text, at);
    } else {
      target->quote(reply_text);
    }
  }
  logger()->info("已在" + chat_name + " 中引用回复id=" + msg_id + " 的消息。");
}

uia::Automation& automation() {
  return platform.wxauto.get()->Uia();
}

std::shared_ptr<uia::Control> main_window() {
  return automation().WindowControl({.Name = "微信", .searchDepth = 1});
}

}  // namespace

void reply_with_quote(const std::string& msg_id, const std::string& reply_text, const std::string& chat_name,
                      const std::optional<std::string>& at) {
  try {
    reply(msg_id, reply_text, chat_name, at);
  } catch (const std::exception& e) {
    print_line(std::string("发送消息失败 ") + e.what());
  }
}

void run_to_msg(const std::string& content) {
  auto window = main_window();
  auto list = window->ListControl({.Name = "消息"});
  if (!list->Exists(0.5)) throw std::runtime_error("未找到消息列表");

  std::shared_ptr<uia::Control> entry;
  for (const auto& child : list->GetChildren()) {
    if (child->Name().find(content) != std::string::npos) {
      entry = child;
      break;
    }
  }
  if (!entry) throw std::runtime_error("消息列表中未出现该信息");

  auto button = entry->PaneControl({.foundIndex = 1})->PaneControl({.foundIndex = 1})->ButtonControl({.foundIndex = 1});
  if (!button->Exists(0.5)) {
    print_line("按钮层级异常，请 inspect.exe 确认");
    return;
  }
  button->RightClick();
  print_line("已右键“修改”消息");
  // The context menu belongs to the main window, not to the message.
  auto locate = window->MenuItemControl({.Name = "定位到原文位置", .foundIndex = 1});
  if (locate->Exists(0.5)) {
    locate->Click();
    print_line("已定位到原文位置");
  } else {
    print_line("菜单未弹出或控件未渲染");
  }
}

void return_run_to_msg() {
  auto button = main_window()->ButtonControl({.Name = "回到引用位置", .foundIndex = 1});
  if (button->Exists(1)) {
    button->Click();
    print_line("已点击“回到引用位置”");
  } else {
    print_line("按钮未找到，请确认窗口已打开且消息已加载");
  }
}

}  // namespace orvanta::robot
