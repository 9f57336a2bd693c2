#pragma once

// The task bridge: how code on any thread (the host, its server connection,
// a handler) asks for a client action without touching the client. Each
// submission builds a task record and hands it to the listening loop
// (`config.wx_task_loop`), which puts it on the task queue
// (`config.wx_task_queue`); the consumer on the listening thread runs it.
//
// Rules:
// - Submissions may be made from any thread, with or without a running loop.
// - A value-returning operation is awaited on a running event loop run by one
//   thread; its future belongs to that loop and is completed there.
// - Every value-returning wait ends: with the value; with the action's error
//   when the action failed; with TaskDropped when the task never reached a
//   running listening loop (before listening started, after it stopped, or
//   left in the queue when it stopped); with TaskTimeout after the wait limit
//   (60 s unless set otherwise). Its entry leaves `config.task_futures` in
//   every case.
// - The task queue belongs to the listening loop: only that loop's thread
//   touches it.

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "orvanta/json.hpp"
#include "orvanta/robot/export.hpp"
#include "orvanta/robot/loop_handle.hpp"
#include "orvanta/task.hpp"

namespace orvanta {

// A value-returning task never reached a running listening loop.
class ORVANTA_ROBOT_EXPORT TaskDropped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value-returning task did not answer within the wait limit.
class ORVANTA_ROBOT_EXPORT TaskTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The future through which the submitter of a value-returning task receives
// its result. It belongs to the submitter's loop: completion is handed to
// that loop and happens there, so set_result and set_exception may be called
// from any thread. A future completes once; later completions, and
// completions after its waiter has gone, are dropped.
class ORVANTA_ROBOT_EXPORT TaskFuture {
 public:
  struct State;
  explicit TaskFuture(std::shared_ptr<State> state);
  ~TaskFuture();
  TaskFuture(const TaskFuture&) = delete;
  TaskFuture& operator=(const TaskFuture&) = delete;

  // A future on the loop of the awaiting coroutine, for the task `task_id`.
  static boost::asio::awaitable<std::shared_ptr<TaskFuture>> on_current_loop(std::string task_id);

  const std::string& task_id() const;
  void set_result(Json value);
  void set_exception(std::exception_ptr error);

  // Waits for completion on the future's loop, at most `limit_seconds` of
  // clock time (infinity: no limit). Ends with the value, the error it was
  // completed with, TaskTimeout, or cancellation when the awaiting task is
  // cancelled. Leaves the future done in every case.
  boost::asio::awaitable<Json> wait(double limit_seconds);

  // Marks the waiter gone: later completions are dropped.
  void abandon();

 private:
  std::shared_ptr<State> state_;
};

// The FIFO of task records of one listening loop. Unbounded.
// REQUIRES: every member except the constructor and loop() is called on the
// loop's thread.
class ORVANTA_ROBOT_EXPORT TaskQueue {
 public:
  explicit TaskQueue(std::shared_ptr<LoopHandle> loop);
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Appends a record and wakes the waiting get(). After close() the record
  // is dropped like a submission to a stopped loop.
  void put(TaskRecord record);
  // The next record, waiting until there is one. Ends with cancellation when
  // the awaiting task is cancelled; the queue keeps its records then.
  boost::asio::awaitable<TaskRecord> get();
  std::size_t size() const;
  // Drops the records still queued (failing their waiters) and every later
  // put; a get() then ends with LoopStopped. Called when the loop has
  // stopped.
  void close();
  // Lets go of what the queue holds of its loop, before the loop is
  // destroyed. After close(), on the loop's thread; get() must not be
  // awaited any more.
  void release_loop();

  const std::shared_ptr<LoopHandle>& loop() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta

namespace orvanta::robot {

// The limit of every value-returning wait, in seconds of clock time
// (default 60). REQUIRES: greater than zero; infinity means no limit.
// Raises ValueError otherwise.
ORVANTA_ROBOT_EXPORT double task_wait_seconds();
ORVANTA_ROBOT_EXPORT void set_task_wait_seconds(double seconds);

// Drops a task that cannot run: logs "[robot] 子线程循环未就绪，丢弃任务" and
// fails the waiter of the task named by kwargs["task_id"], if any, with
// TaskDropped.
ORVANTA_ROBOT_EXPORT void drop_task(const Json& kwargs);

// Hands the record {"action": action, "kwargs": kwargs} to the listening
// loop, which queues it; returns at once. When listening is not running
// (never started, or stopped) the task is dropped as drop_task says; nothing
// is raised.
ORVANTA_ROBOT_EXPORT void _put_task(const std::string& action, Json kwargs);

// Fire-and-forget submissions. "kwargs": content, who, at (null when none).
ORVANTA_ROBOT_EXPORT void wx_send_msg(std::string content, std::string who,
                                      std::optional<std::string> at = std::nullopt);
// "kwargs": msg_id, reply_text, chat_name, at (null when none).
ORVANTA_ROBOT_EXPORT void wx_reply_with_quote(std::string msg_id, std::string reply_text, std::string chat_name,
                                              std::optional<std::string> at = std::nullopt);
// "kwargs": content, who (no "at").
ORVANTA_ROBOT_EXPORT void wx_send_private_msg(std::string content, std::string who);

// The member list of a group, read on the listening thread; nothing when the
// action gave nothing. Raises TypeError when the action's answer is neither
// a list of names nor nothing, and the errors listed in the rules above.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<std::optional<std::vector<std::string>>> wx_get_group_memberlist(
    std::string chat_name);
// The image key of the picture shown as `content`, in the chat `chat_name`
// (opened first; the open chat when empty); nothing when the action gave
// nothing. Raises TypeError when the answer is neither text nor nothing.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<std::optional<std::string>> wx_get_img_md5(std::string content,
                                                                                       std::string chat_name = {});

// The identifier of the newest stored message of send_data["position"] that
// the server message quotes: for a quoted picture ("quote_content" "[图片]")
// the one whose image key is that of send_data["content"], otherwise the one
// whose content is send_data["quote_content"]. Empty text when none is
// found, or when the picture's key could not be had. Raises AttributeError
// when a key is missing and TypeError when its value is not text.
ORVANTA_ROBOT_EXPORT boost::asio::awaitable<std::string> get_latest_msg_quote(Json send_data);

// The unqueued actions: drive the client on the calling thread.
// config.wx.SendMsg(content, who, at); the driver's answer is ignored.
ORVANTA_ROBOT_EXPORT void _real_send_msg(const std::string& content, const std::string& who,
                                         const std::optional<std::string>& at = std::nullopt);
// reply_with_quote with the four values; errors are not caught.
ORVANTA_ROBOT_EXPORT void _real_reply_with_quote(const std::string& msg_id, const std::string& reply_text,
                                                 const std::string& chat_name,
                                                 const std::optional<std::string>& at = std::nullopt);

}  // namespace orvanta::robot
