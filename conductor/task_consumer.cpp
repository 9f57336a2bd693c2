// The consumer of client tasks on the listening loop and its four action
// operations.

#include <exception>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/execution/context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/task_bridge.hpp"
#include "robot_operations.hpp"

namespace orvanta::conductor {
namespace {

// Keyword arguments of an action operation, checked the way a call with
// **kwargs checks them: a mapping, only known names, every required name.
class Kwargs {
 public:
  Kwargs(const char* operation, const Json& kwargs, std::initializer_list<std::string_view> names, std::size_t required)
      : operation_(operation), kwargs_(kwargs) {
    if (!kwargs.is_object())
      throw TypeError(fmt::format("{}() argument after ** must be a mapping, not {}", operation, kwargs.type_name()));
    for (const auto& item : kwargs.items()) {
      bool known = false;
      for (auto name : names) known = known || item.key() == name;
      if (!known) throw TypeError(fmt::format("{}() got an unexpected keyword argument '{}'", operation, item.key()));
    }
    std::size_t i = 0;
    for (auto name : names) {
      if (i++ < required && !kwargs.contains(name))
        throw TypeError(fmt::format("{}() missing 1 required positional argument: '{}'", operation, name));
    }
  }

  std::string text(const char* name) const {
    const Json& value = kwargs_.at(name);
    if (!value.is_string()) throw TypeError(fmt::format("{}() argument '{}' must be str", operation_, name));
    return value.get<std::string>();
  }

  std::optional<std::string> optional_text(const char* name) const {
    auto it = kwargs_.find(name);
    if (it == kwargs_.end() || it->is_null()) return std::nullopt;
    return text(name);
  }

 private:
  const char* operation_;
  const Json& kwargs_;
};

// kwargs[key] as text, as a value-returning action reads it.
std::string required_text(const Json& kwargs, const char* key, const char* operation) {
  if (!kwargs.is_object()) throw TypeError(fmt::format("'{}' object is not subscriptable", kwargs.type_name()));
  auto it = kwargs.find(key);
  if (it == kwargs.end()) throw KeyError(fmt::format("'{}'", key));
  if (!it->is_string()) throw TypeError(fmt::format("{}() argument must be str", operation));
  return it->get<std::string>();
}

// Hands `value` to the waiter of the task, if it still has one.
void answer(const Json& kwargs, Json value) {
  const std::string task_id = required_text(kwargs, "task_id", "task_id");
  if (auto future = config.task_futures.take(task_id)) future->set_result(std::move(value));
}

// Lets the waiter of a failed task, if any, learn the error instead of
// waiting in vain.
void fail_waiter(const Json& kwargs, std::exception_ptr error) {
  if (!kwargs.is_object()) return;
  auto it = kwargs.find("task_id");
  if (it == kwargs.end() || !it->is_string()) return;
  if (auto future = config.task_futures.take(it->get<std::string>())) future->set_exception(std::move(error));
}

void run_task(const TaskRecord& task) {
  const Json& kw = task.kwargs;
  try {
    if (task.action == "SendMsg") {
      Kwargs args("_real_send_msg", kw, {"content", "who", "at"}, 2);
      _real_send_msg(args.text("content"), args.text("who"), args.optional_text("at"));
    } else if (task.action == "reply_with_quote") {
      Kwargs args("_real_reply_with_quote", kw, {"msg_id", "reply_text", "chat_name", "at"}, 3);
      _real_reply_with_quote(args.text("msg_id"), args.text("reply_text"), args.text("chat_name"),
                             args.optional_text("at"));
    } else if (task.action == "get_group_memberlist") {
      auto members = _real_get_group_memberlist(required_text(kw, "chat_name", "_real_get_group_memberlist"));
      answer(kw, Json(std::move(members)));
    } else if (task.action == "get_img_md5") {
      if (const auto chat = kw.find("chat_name"); chat != kw.end() && chat->is_string() && !chat->empty())
        config.wx.get()->ChatWith(chat->get<std::string>());
      auto md5_str = _real_get_img_md5(required_text(kw, "content", "_real_get_img_md5"));
      answer(kw, Json(std::move(md5_str)));
    }
    // Any other action is ignored.
  } catch (const std::exception& e) {
    // An action runs without waiting, so nothing in it can be a cancellation
    // of this task: every error here is an ordinary failure.
    log_exception(fmt::format("[wx-task] 执行失败: {}", e.what()));
    fail_waiter(kw, std::current_exception());
  }
}

}  // namespace

boost::asio::awaitable<void> process_wx_tasks() {
  auto queue = config.wx_task_queue.get();
  // The queue may only be touched by its own loop's thread.
  auto executor = co_await boost::asio::this_coro::executor;
  auto& context = boost::asio::query(executor, boost::asio::execution::context);
  if (&context != static_cast<boost::asio::execution_context*>(&queue->loop()->context()))
    throw std::runtime_error("process_wx_tasks: config.wx_task_queue belongs to another event loop");
  for (;;) {
    TaskRecord task = co_await queue->get();
    run_task(task);
  }
}

void _real_send_msg(const std::string& content, const std::string& who, const std::optional<std::string>& at) {
  config.wx.get()->SendMsg(content, who, at);
}

void _real_reply_with_quote(const std::string& msg_id, const std::string& reply_text, const std::string& chat_name,
                            const std::optional<std::string>& at) {
  try {
    robot::reply_with_quote(msg_id, reply_text, chat_name, at);
  } catch (const std::exception&) {
    log_exception("[wx-task] reply_with_quote 失败");
  }
}

std::vector<std::string> _real_get_group_memberlist(const std::string& chat_name) {
  return robot::get_group_memberlist(chat_name);
}

std::string _real_get_img_md5(const std::string& content) {
  return robot::get_img_md5(content);
}

}  // namespace orvanta::conductor
