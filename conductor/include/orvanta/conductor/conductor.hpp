#pragma once

// The library the host loads: start-up and handler registration, the
// listening thread and its loop, the consumer of client tasks, the entry for
// server messages and the host's member watch.
//
// Threads:
// - The host's thread calls init, redeal_data, get_wx_name, the setters,
//   start_listening_group_members and start_listening_msg. init needs the
//   host's loop to be running on that thread (marked by a RunningLoopScope).
// - The listening thread is the only thread that drives the client once
//   listening has started: it runs run_listening_msg and process_wx_tasks on
//   its own loop, cooperatively, so no two client operations overlap.
// - handle_server_message runs on the loop of whoever awaits it.
// - Handler slots and the member watch are read at each use, so replacing
//   one from any thread takes effect at the next event.

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "orvanta/conductor/export.hpp"
#include "orvanta/json.hpp"
#include "orvanta/robot/handlers.hpp"

namespace orvanta::conductor {

// --- Start-up and registration ------------------------------------------------

struct InitOptions {
  // false (the default): the "messages" table is emptied at every start, so
  // that history synchronisation rebuilds it from what the client shows.
  // true: the stored messages are kept; a group that has stored rows is not
  // taken as history again, and what arrived since they were stored is
  // reported as new, once. A host that keeps its own records of the message
  // identifiers it reported (a server, say) asks for this.
  bool keep_messages = false;
};

// Prepares the process: administrator rights, the store "wxChat.db" (see
// store_path; opened as config.db, its "messages" table emptied unless
// `options` keep it), the client driver (config.wx), the account name
// (config.my_wxName), WxParam::FORCE_MESSAGE_XBIAS, and the daily clean-up
// on the caller's running loop. Catches nothing: the first failing step
// raises and the steps before it stay done. Raises std::runtime_error "no
// running event loop ..." at the last step when the calling thread runs no
// loop.
ORVANTA_CONDUCTOR_EXPORT void init(InitOptions options = {});
// 掉线后重新处理历史数据: empties the store table "messages", so that the
// history synchronisation reads the client's history again after the client
// was offline.
ORVANTA_CONDUCTOR_EXPORT void redeal_data();
// config.my_wxName; AttributeError before init.
ORVANTA_CONDUCTOR_EXPORT std::string get_wx_name();

// Install the host's handlers into robot's slots.
ORVANTA_CONDUCTOR_EXPORT void set_deal_group_msg(std::function<robot::GroupMsgHandler> fun);
ORVANTA_CONDUCTOR_EXPORT void set_deal_private_msg(std::function<robot::PrivateMsgHandler> fun);
ORVANTA_CONDUCTOR_EXPORT void set_group_increase_func(std::function<robot::GroupIncreaseHandler> fun);
// Installs `fun` as robot::handle_message_recall.
ORVANTA_CONDUCTOR_EXPORT void set_message_recall_func(std::function<robot::MessageRecallHandler> fun);
// Installs `fun` as robot::report_gap.
ORVANTA_CONDUCTOR_EXPORT void set_gap_func(std::function<robot::GapHandler> fun);

// The file of this library.
ORVANTA_CONDUCTOR_EXPORT std::filesystem::path module_path();
// Where init opens the store: the file "wxChat.db" in the directory given to
// set_store_dir, or beside this library when none was given.
ORVANTA_CONDUCTOR_EXPORT std::filesystem::path store_path();
// The directory of the store file for the next init (and for store_path);
// nothing: beside this library again. Call it before init.
ORVANTA_CONDUCTOR_EXPORT void set_store_dir(std::optional<std::filesystem::path> dir);

// --- Listening ----------------------------------------------------------------

// The listening thread. Its routine makes a new loop and task queue,
// publishes them in config, runs run_listening_msg on the loop and, when that
// ends with an ordinary error, logs "【致命】子线程协程崩溃：<error>" with the
// error's kind. When the loop has ended the published loop and queue refuse
// further tasks and fail the waits of tasks they still held.
//
// Every member may be called from any thread.
class ORVANTA_CONDUCTOR_EXPORT ListeningThread {
 public:
  struct State;
  explicit ListeningThread(std::shared_ptr<State> state);
  // Stops and joins a thread still running (a process ending with listening
  // still on must not tear down what the thread uses under it), unless
  // called on the listening thread itself.
  ~ListeningThread();
  ListeningThread(const ListeningThread&) = delete;
  ListeningThread& operator=(const ListeningThread&) = delete;

  // Whether the thread's routine has not ended yet.
  bool running() const;
  // Waits for the thread to end.
  void join();
  // What ended listening: the ordinary error, or the cancellation error after
  // stop(); null while running.
  std::exception_ptr error() const;
  // Cancels the listening task: the shutdown steps run and the thread ends.
  void stop();

  // Whether the caller runs on this listening thread (a handler, say).
  bool is_this_thread() const;

 private:
  std::shared_ptr<State> state_;
};

// The thread's name.
inline constexpr const char* kListeningThreadName = "run_listening_msg";

// Starts the listening thread alone (no history synchronisation) and returns
// at once. The thread replaces the published loop and queue. A listening
// thread still running is stopped first, and waited for (by the caller, or,
// when the caller is that thread, by the new thread before its first poll),
// so that two threads never drive the client at once.
ORVANTA_CONDUCTOR_EXPORT std::shared_ptr<ListeningThread> start_listening_thread();

// The thread started last, or null.
ORVANTA_CONDUCTOR_EXPORT std::shared_ptr<ListeningThread> current_listening_thread();

// Stops a listening thread still running and waits for its end (called on
// that thread, from a handler, it only asks for the stop, and the new thread
// waits for the old one to end before it polls), so that only one thread
// drives the client at any moment. Then synchronises the history of the
// listened groups, switches the client to its chat page, sets
// config._start_time / _end_time and check_group_members_time_start / _end,
// and starts the listening thread. Errors before the thread starts go to the
// caller. The thread is named kListeningThreadName (cut to 15 bytes on
// Linux).
ORVANTA_CONDUCTOR_EXPORT void start_listening_msg();

// The listening loop: polls the client, dispatches, pauses 2 seconds, for
// ever. Starts process_wx_tasks on the same loop. Ends only by an error or by
// cancellation, after the shutdown steps: the server link is closed on its own
// loop (without waiting), the loop's other tasks (the consumer and those of
// spawn_listening_task) are cancelled, and "已通知群管机器人下线，程序退出。"
// is printed. When the listening thread's loop has stopped, the waits on it
// for tasks are failed with TaskDropped and the loop is destroyed on that
// thread.
ORVANTA_CONDUCTOR_EXPORT boost::asio::awaitable<void> run_listening_msg();

// Starts the task `make_task()` on the listening loop as one of the loop's
// own tasks, from any thread: the shutdown of listening cancels it together
// with the task consumer, so each of its waits ends (a value-returning wait
// with the cancellation), and an error that ends it otherwise is logged as
// "<name> ended". When listening is not running, or stops before the task
// was started, the task is not started and "[conductor] 监听未运行，任务未启动:
// <name>" is logged.
//
// Work started on the listening loop in any other way (a co_spawn on its
// executor from a handler) is not known to the shutdown and is not
// cancelled: a value-returning wait in it still ends (with TaskDropped for a
// task the stopped loop did not run), but whatever it waits for otherwise is
// destroyed unfinished with the loop, on the listening thread.
ORVANTA_CONDUCTOR_EXPORT void spawn_listening_task(std::string name,
                                                   std::function<boost::asio::awaitable<void>()> make_task);

// --- Task consumer ------------------------------------------------------------

// Takes the tasks of config.wx_task_queue one at a time, for ever, and runs
// each. A failure is logged as "[wx-task] 执行失败: <error>"; the waiter of a
// failed value-returning task receives the error.
ORVANTA_CONDUCTOR_EXPORT boost::asio::awaitable<void> process_wx_tasks();

// The four action operations of the consumer.
ORVANTA_CONDUCTOR_EXPORT void _real_send_msg(const std::string& content, const std::string& who,
                                             const std::optional<std::string>& at = std::nullopt);
// Catches and logs every ordinary error as "[wx-task] reply_with_quote 失败".
ORVANTA_CONDUCTOR_EXPORT void _real_reply_with_quote(const std::string& msg_id, const std::string& reply_text,
                                                     const std::string& chat_name,
                                                     const std::optional<std::string>& at = std::nullopt);
ORVANTA_CONDUCTOR_EXPORT std::vector<std::string> _real_get_group_memberlist(const std::string& chat_name);
ORVANTA_CONDUCTOR_EXPORT std::string _real_get_img_md5(const std::string& content);

// --- Server messages and the member watch ---------------------------------

// Forwards `message` to robot::reply, looked up now. Its errors (and
// AttributeError when no reply is installed) go to the awaiting caller.
ORVANTA_CONDUCTOR_EXPORT boost::asio::awaitable<void> handle_server_message(Json message);

using MemberWatch = boost::asio::awaitable<void>();
// The host's work for idle cycles, awaited by the listening loop whenever the
// poll finds nothing new. Defaults to default_deal_group_members.
ORVANTA_CONDUCTOR_EXPORT extern robot::Slot<MemberWatch> deal_group_members;
// Prints "deal_group_members".
ORVANTA_CONDUCTOR_EXPORT boost::asio::awaitable<void> default_deal_group_members();
// Replaces deal_group_members with `fun`; starts nothing.
ORVANTA_CONDUCTOR_EXPORT void start_listening_group_members(std::function<boost::asio::awaitable<void>()> fun);

}  // namespace orvanta::conductor
