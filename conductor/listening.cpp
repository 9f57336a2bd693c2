// The listening thread, its loop, and the listening loop that polls the
// client and dispatches what it finds.

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <fmt/format.h>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/errors.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/group_check.hpp"
#include "orvanta/robot/identifiers.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/loop_handle.hpp"
#include "orvanta/robot/os.hpp"
#include "orvanta/robot/output.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/robot/task_bridge.hpp"
#include "orvanta/robot/timing.hpp"
#include "robot_operations.hpp"
#include "state.hpp"

namespace orvanta::conductor {
namespace {

// The pause between two polls.
constexpr double kCyclePause = 2;

// The tasks a listening loop starts beside itself, each with a cancellation
// signal, so that its shutdown can cancel exactly them. Used on the loop's
// thread only.
class TaskGroup {
 public:
  explicit TaskGroup(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}

  void spawn(boost::asio::awaitable<void> task, std::string name) {
    // Entries of tasks that have ended are not kept.
    entries_.remove_if([](const std::shared_ptr<Entry>& e) { return e->finished; });
    auto entry = std::make_shared<Entry>();
    entries_.push_back(entry);
    auto& executor = executor_;
    boost::asio::co_spawn(executor, std::move(task),
                          boost::asio::bind_cancellation_slot(entry->signal.slot(),
                                                              [entry, name = std::move(name)](std::exception_ptr e) {
                                                                entry->finished = true;
                                                                // Ending after its cancellation was asked for is
                                                                // the task's normal end; anything else is a
                                                                // failure worth a line.
                                                                if (e && !entry->cancel_requested)
                                                                  log_exception(fmt::format("{} ended", name), e);
                                                              }));
  }

  void cancel_all() {
    for (auto& entry : entries_) {
      if (entry->finished || entry->cancel_requested) continue;
      entry->cancel_requested = true;
      entry->signal.emit(boost::asio::cancellation_type::terminal);
    }
  }

 private:
  struct Entry {
    boost::asio::cancellation_signal signal;
    bool cancel_requested = false;
    bool finished = false;
  };
  boost::asio::any_io_executor executor_;
  std::list<std::shared_ptr<Entry>> entries_;
};

// The task group of the listening loop that runs on this thread, while it
// listens (before its shutdown steps): where spawn_listening_task puts its
// tasks.
thread_local TaskGroup* listening_group = nullptr;

// A poll result's value as Python's str() shows it ("None" when missing).
std::string shown(const Json& result, const char* key) {
  auto it = result.find(key);
  if (it == result.end() || it->is_null()) return "None";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_boolean()) return it->get<bool>() ? "True" : "False";
  if (it->is_number_float()) return robot::python_float_text(it->get<double>());
  return it->dump();
}

// The chat name of a poll result, when it has one as text.
std::optional<std::string> chat_name_of(const Json& result) {
  auto it = result.find("chat_name");
  if (it != result.end() && it->is_string()) return it->get<std::string>();
  return std::nullopt;
}

boost::asio::awaitable<void> one_cycle() {
  logger()->info("----------");
  Json result = config.wx.get()->GetNextNewMessage(true);
  if (result.is_null()) {
    logger()->debug("GetNextNewMessage 返回 null，按无新消息处理");
    result = Json::object();
  }
  if (!result.is_object())
    throw TypeError(fmt::format("GetNextNewMessage must give a mapping, not {}", result.type_name()));

  if (!result.empty()) {
    logger()->info("新消息：会话: {}-消息类型: {}-消息内容：{}", shown(result, "chat_name"), shown(result, "chat_type"),
                   shown(result, "msg"));
  } else {
    co_await deal_group_members();
  }

  auto chat_type = result.find("chat_type");
  const bool has_type = chat_type != result.end() && chat_type->is_string();
  const std::optional<std::string> chat_name = chat_name_of(result);
  const bool for_a_chat = has_type && (*chat_type == "friend" || *chat_type == "group");
  if (for_a_chat && !chat_name) {
    // A handler given no chat would act on a made-up one; the cycle goes on
    // as for a chat of an unknown kind.
    logger()->warn("轮询结果缺少会话名，不分发: {}", result.dump());
    co_await robot::check_group_member();
  } else if (has_type && *chat_type == "friend") {
    MessageData msg_data{.group_name = *chat_name,
                         .type = "private",
                         .content = "私聊消息",
                         .sender = *chat_name,
                         .msg_id = robot::get_msg_id(),
                         .quote_id = "",
                         .quote_content = "",
                         .recall_id = "",
                         .image_url = "",
                         .have_checked = "true",
                         .status = "",
                         .img_md5 = "",
                         .timestamp = robot::get_now()};
    // The handler sees the identifier before the record is stored.
    co_await robot::deal_private_msg(msg_data.group_name, msg_data.msg_id);
    robot::update_db_messages(msg_data);
  } else if (has_type && *chat_type == "group") {
    std::string nickname = *chat_name;
    co_await robot::deal_msg(std::move(nickname));
  } else {
    co_await robot::check_group_member();
  }
  // A chat that keeps the poll busy must not starve the other groups.
  if (!result.empty()) co_await robot::visit_overdue_group();

  co_await timing::async_sleep(kCyclePause);
}

}  // namespace

boost::asio::awaitable<void> run_listening_msg() {
  logger()->info("开始轮询");
  robot::forget_group_visits();
  auto others = std::make_shared<TaskGroup>(co_await boost::asio::this_coro::executor);
  others->spawn(process_wx_tasks(), "process_wx_tasks");

  std::exception_ptr failure;
  {
    TaskGroup* outer = listening_group;
    listening_group = others.get();
    try {
      for (;;) co_await one_cycle();
    } catch (...) {
      failure = std::current_exception();
    }
    listening_group = outer;
  }

  // Shutdown: an error here ends the steps where it happens, and is the one
  // that leaves.
  if (auto ws_client = config.ws_client.load(); ws_client && (*ws_client)->ws()) (*ws_client)->close_soon();
  others->cancel_all();
  print_line("已通知群管机器人下线，程序退出。");
  std::rethrow_exception(failure);
}

namespace {

// Runs the task `make_task` makes, keeping `make_task` (a lambda's captures,
// say) alive as long as the task runs.
boost::asio::awaitable<void> keep_and_run(std::function<boost::asio::awaitable<void>()> make_task) {
  co_await make_task();
}

}  // namespace

void spawn_listening_task(std::string name, std::function<boost::asio::awaitable<void>()> make_task) {
  auto loop = config.wx_task_loop.load();
  auto refuse = [](const std::string& name) { logger()->error("[conductor] 监听未运行，任务未启动: {}", name); };
  if (!loop || !*loop) {
    refuse(name);
    return;
  }
  (*loop)->post(
      [name, make_task = std::move(make_task), refuse]() mutable {
        if (listening_group == nullptr) {
          refuse(name);
          return;
        }
        listening_group->spawn(keep_and_run(std::move(make_task)), std::move(name));
      },
      [name, refuse](std::exception_ptr) { refuse(name); });
}

// --- The listening thread -------------------------------------------------

struct ListeningThread::State {
  mutable std::mutex mu;
  std::condition_variable ended_cv;
  // Guarded by mu.
  bool ended = false;
  std::exception_ptr error;
  std::shared_ptr<LoopHandle> loop;
  bool stop_requested = false;
  // On the loop's thread only.
  boost::asio::cancellation_signal signal;
  // Set once, under mu, before the thread's routine goes past its start.
  std::thread thread;
};

namespace {

void request_stop(const std::shared_ptr<ListeningThread::State>& state) {
  state->loop->post([state] { state->signal.emit(boost::asio::cancellation_type::terminal); },
                    [](std::exception_ptr) {});
}

// Runs the listening loop and reports how it ended. Cancellation is told
// from an error by this task's own cancellation state.
boost::asio::awaitable<void> listen_and_report(std::shared_ptr<ListeningThread::State> state) {
  std::exception_ptr failure;
  try {
    co_await run_listening_msg();
  } catch (...) {
    failure = std::current_exception();
  }
  const bool cancelled = task_cancelled(co_await boost::asio::this_coro::cancellation_state);
  {
    std::lock_guard guard(state->mu);
    state->error = failure;
  }
  if (failure && !cancelled) log_exception(fmt::format("【致命】子线程协程崩溃：{}", error_text(failure)), failure);
}

void thread_routine(std::shared_ptr<ListeningThread::State> state, std::shared_ptr<ListeningThread> previous) {
  os::set_thread_name(kListeningThreadName);
  // Waits until the starter has stored this thread's handle in the state.
  { std::lock_guard guard(state->mu); }
  // A thread that started its successor from its own handler ends at its
  // next wait; until then it still drives the client, so this one waits.
  if (previous) previous->join();
  previous.reset();
  try {
    // This thread holds the only owning reference to its loop, so that the
    // loop is destroyed here, with the work still left in it, and not on
    // whichever thread lets go of the published handle last.
    auto context = std::make_unique<boost::asio::io_context>(1);
    auto handle = LoopHandle::make(std::shared_ptr<boost::asio::io_context>(context.get(), [](auto*) {}));
    config.wx_task_loop.set(handle);
    auto queue = std::make_shared<TaskQueue>(handle);
    config.wx_task_queue.set(queue);
    // However the run ends, the published handle and queue let go of the
    // loop before it is destroyed (this guard is declared after the loop, so
    // it runs first on an error too).
    struct Release {
      LoopHandle& handle;
      TaskQueue& queue;
      ~Release() {
        handle.close();
        queue.close();
        queue.release_loop();
      }
    } release{*handle, *queue};

    {
      RunningLoopScope scope(*context);
      boost::asio::co_spawn(
          *context, listen_and_report(state),
          boost::asio::bind_cancellation_slot(state->signal.slot(), [loop = context.get()](std::exception_ptr) {
            // The listening task has ended: the loop runs no longer for it.
            loop->stop();
          }));
      {
        std::lock_guard guard(state->mu);
        state->loop = handle;
        if (state->stop_requested) request_stop(state);
      }
      context->run();
      // Let the tasks cancelled by the shutdown finish their cancellation.
      context->restart();
      context->poll();
      // From here on tasks are refused, and those handed over but not run,
      // or still queued, fail: the waits on this loop for them end with
      // TaskDropped once the loop has handed them their failure.
      handle->close();
      queue->close();
      context->poll();
      queue->release_loop();
    }
    // What is still waiting on the loop (work a handler started on it
    // without registering it, waiting on anything but a task) is destroyed
    // with it, on this thread.
    context.reset();
  } catch (...) {
    auto failure = std::current_exception();
    {
      std::lock_guard guard(state->mu);
      state->error = failure;
    }
    log_exception(fmt::format("【致命】子线程协程崩溃：{}", error_text(failure)), failure);
  }
  {
    std::lock_guard guard(state->mu);
    state->ended = true;
  }
  state->ended_cv.notify_all();
}

}  // namespace

ListeningThread::ListeningThread(std::shared_ptr<State> state) : state_(std::move(state)) {}

ListeningThread::~ListeningThread() {
  if (!state_->thread.joinable()) return;
  if (is_this_thread()) {
    state_->thread.detach();
    return;
  }
  stop();
  state_->thread.join();
}

bool ListeningThread::running() const {
  std::lock_guard guard(state_->mu);
  return !state_->ended;
}

void ListeningThread::join() {
  if (state_->thread.get_id() == std::this_thread::get_id())
    throw std::runtime_error("the listening thread cannot join itself");
  std::unique_lock lock(state_->mu);
  state_->ended_cv.wait(lock, [&] { return state_->ended; });
}

std::exception_ptr ListeningThread::error() const {
  std::lock_guard guard(state_->mu);
  return state_->error;
}

void ListeningThread::stop() {
  std::lock_guard guard(state_->mu);
  if (state_->ended || state_->stop_requested) return;
  state_->stop_requested = true;
  if (state_->loop) request_stop(state_);
}

bool ListeningThread::is_this_thread() const {
  return state_->thread.get_id() == std::this_thread::get_id();
}

namespace {

// Stops the listening thread still running and waits for its end, so that
// the caller may drive the client. Called on that thread itself (from a
// handler), it asks for the stop and gives the thread back: it ends at its
// next wait, and the thread started next waits for that.
std::shared_ptr<ListeningThread> stop_previous() {
  auto previous = current_listening_thread();
  if (!previous || !previous->running()) return nullptr;
  previous->stop();
  if (previous->is_this_thread()) return previous;
  previous->join();
  return nullptr;
}

std::shared_ptr<ListeningThread> start_after(std::shared_ptr<ListeningThread> previous) {
  auto state = std::make_shared<ListeningThread::State>();
  auto thread = std::make_shared<ListeningThread>(state);
  {
    std::lock_guard guard(state->mu);
    state->thread = std::thread(thread_routine, state, std::move(previous));
  }
  set_current_listening_thread(thread);
  return thread;
}

}  // namespace

std::shared_ptr<ListeningThread> start_listening_thread() {
  return start_after(stop_previous());
}

void start_listening_msg() {
  // The history and the page switch drive the client: the thread still
  // listening must have let go of it first.
  auto previous = stop_previous();
  robot::getAllHistoricalNews();
  config.wx.get()->SwitchToChat();
  const double start = timing::time();
  config._start_time.set(start);
  config._end_time.set(start);
  const double check_start = timing::time();
  config.check_group_members_time_end.set(check_start);
  config.check_group_members_time_start.set(check_start);
  start_after(std::move(previous));
}

}  // namespace orvanta::conductor
