#pragma once

// The handler slots through which robot reports events to its host, and the
// host's `reply` operation for server messages.
//
// A slot is read at the moment of each call, never captured: replacing it
// (from any thread) takes effect at the next call, and a call already under
// way finishes with the handler it started with.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "orvanta/errors.hpp"
#include "orvanta/json.hpp"
#include "orvanta/message.hpp"
#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

template <class Signature>
class Slot;

// A replaceable operation of the library.
template <class R, class... Args>
class Slot<R(Args...)> {
 public:
  using Function = std::function<R(Args...)>;

  Slot(const char* name, Function initial)
      : name_(name), fn_(initial ? std::make_shared<const Function>(std::move(initial)) : nullptr) {}
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

  // Installs `fn`; an empty function empties the slot.
  void set(Function fn) {
    auto next = fn ? std::make_shared<const Function>(std::move(fn)) : nullptr;
    std::lock_guard guard(mu_);
    fn_.swap(next);
  }
  Slot& operator=(Function fn) {
    set(std::move(fn));
    return *this;
  }

  // The operation in force now; raises AttributeError when the slot is empty.
  std::shared_ptr<const Function> get() const {
    std::lock_guard guard(mu_);
    if (!fn_) throw AttributeError("module 'robot' has no attribute '" + std::string(name_) + "'");
    return fn_;
  }

  bool empty() const {
    std::lock_guard guard(mu_);
    return fn_ == nullptr;
  }

  // Looks the operation up and calls it. For a coroutine handler the returned
  // awaitable keeps the handler alive until it has finished.
  R operator()(Args... args) const {
    auto fn = get();
    if constexpr (is_awaitable<R>::value) {
      return call_keeping(std::move(fn), std::move(args)...);
    } else {
      return (*fn)(std::move(args)...);
    }
  }

  const char* name() const { return name_; }

 private:
  template <class T>
  struct is_awaitable : std::false_type {};
  template <class T, class E>
  struct is_awaitable<boost::asio::awaitable<T, E>> : std::true_type {};

  static R call_keeping(std::shared_ptr<const Function> fn, Args... args) {
    co_return co_await (*fn)(std::move(args)...);
  }

  const char* name_;
  mutable std::mutex mu_;
  std::shared_ptr<const Function> fn_;
};

using GroupMsgHandler = boost::asio::awaitable<void>(Message msg);
using PrivateMsgHandler = boost::asio::awaitable<void>(std::string chat_name, std::string msg_id);
using GroupIncreaseHandler = boost::asio::awaitable<void>(std::string name, std::string nickname);
using MessageRecallHandler = boost::asio::awaitable<void>(std::string msg_id, std::string nickname);
using GapHandler = boost::asio::awaitable<void>(std::string nickname, std::string reason);
using ReplyOperation = void(Json message);

// A new message in a listened group.
ORVANTA_ROBOT_EXPORT extern Slot<GroupMsgHandler> deal_group_msg;
// A new private chat message: the chat name and the new message identifier.
ORVANTA_ROBOT_EXPORT extern Slot<PrivateMsgHandler> deal_private_msg;
// A member joined a group: the member's name and the group name.
ORVANTA_ROBOT_EXPORT extern Slot<GroupIncreaseHandler> group_increase_func;
// A message of a group was recalled: its identifier and the group name.
ORVANTA_ROBOT_EXPORT extern Slot<MessageRecallHandler> handle_message_recall;
// Processing could not tell what is new in a group (or which stored message
// a recall notice stands for) and went on without it: the group name and a
// readable reason. Processing has logged the gap as an error already; the
// default handler does nothing more. A host tells its server.
ORVANTA_ROBOT_EXPORT extern Slot<GapHandler> report_gap;
// The host's operation for server messages; empty until the host installs it.
ORVANTA_ROBOT_EXPORT extern Slot<ReplyOperation> reply;

// The default handlers: each prints its fixed line and returns.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> default_deal_group_msg(Message msg);
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> default_deal_private_msg(std::string chat_name, std::string msg_id);
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> default_group_increase_func(std::string name, std::string nickname);
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> default_handle_message_recall(std::string msg_id,
                                                                                std::string nickname);
// Does nothing: the gap is in the log already.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<void> default_report_gap(std::string nickname, std::string reason);

}  // namespace orvanta::robot
