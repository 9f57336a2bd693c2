// Task submission, the task queue of the listening loop and the futures of
// value-returning tasks (see task_bridge.hpp).

#include "orvanta/robot/task_bridge.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>

#include "orvanta/errors.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/quote_reply.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta {
namespace {

// A timer on the timing facility's clock, so that wait limits follow the
// fast clock of the tests. It looks at the clock at least every
// MonotonicClock::real_wait, as the facility's own waits do.
struct WaitTraits {
  static timing::MonotonicClock::duration to_wait_duration(const timing::MonotonicClock::duration& d) {
    return timing::MonotonicClock::real_wait(d);
  }
  static timing::MonotonicClock::duration to_wait_duration(const timing::MonotonicClock::time_point& t) {
    return timing::MonotonicClock::real_wait(t - timing::MonotonicClock::now());
  }
};
using ClockTimer = boost::asio::basic_waitable_timer<timing::MonotonicClock, WaitTraits>;

// Longer limits are clamped to about 31 years, which the clock can hold.
constexpr double kLongestLimit = 1e9;

[[noreturn]] void throw_cancelled() {
  throw boost::system::system_error(boost::asio::error::operation_aborted);
}

boost::asio::awaitable<bool> cancelled() {
  co_return task_cancelled(co_await boost::asio::this_coro::cancellation_state);
}

}  // namespace

// --- TaskFuture ---------------------------------------------------------------

struct TaskFuture::State {
  State(boost::asio::any_io_executor ex, std::string id) : executor(std::move(ex)), task_id(std::move(id)) {}

  // Hands a completion to the future's loop unless the waiter has gone.
  void hand_over(Json value, std::exception_ptr failure, const std::shared_ptr<State>& self) {
    std::lock_guard guard(mu);
    if (!open) return;
    boost::asio::post(executor, [self, value = std::move(value), failure = std::move(failure)]() mutable {
      self->complete(std::move(value), std::move(failure));
    });
  }

  // On the future's loop.
  void complete(Json v, std::exception_ptr failure) {
    if (done) return;
    done = true;
    value = std::move(v);
    error = std::move(failure);
    if (timer != nullptr) timer->cancel();
  }

  boost::asio::any_io_executor executor;
  std::string task_id;

  std::mutex mu;
  // Whether completions are still handed over (guarded by mu).
  bool open = true;

  // Touched on the future's loop only.
  bool done = false;
  Json value;
  std::exception_ptr error;
  ClockTimer* timer = nullptr;
};

TaskFuture::TaskFuture(std::shared_ptr<State> state) : state_(std::move(state)) {}
TaskFuture::~TaskFuture() = default;

boost::asio::awaitable<std::shared_ptr<TaskFuture>> TaskFuture::on_current_loop(std::string task_id) {
  auto executor = co_await boost::asio::this_coro::executor;
  co_return std::make_shared<TaskFuture>(std::make_shared<State>(executor, std::move(task_id)));
}

const std::string& TaskFuture::task_id() const {
  return state_->task_id;
}

void TaskFuture::set_result(Json value) {
  state_->hand_over(std::move(value), nullptr, state_);
}

void TaskFuture::set_exception(std::exception_ptr error) {
  state_->hand_over(Json(), std::move(error), state_);
}

void TaskFuture::abandon() {
  std::lock_guard guard(state_->mu);
  state_->open = false;
}

boost::asio::awaitable<Json> TaskFuture::wait(double limit_seconds) {
  auto s = state_;
  if (!s->done) {
    ClockTimer timer(s->executor);
    const bool limited = std::isfinite(limit_seconds);
    if (limited) {
      const double seconds = std::max(0.0, std::min(limit_seconds, kLongestLimit));
      timer.expires_after(std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)));
    } else {
      timer.expires_at(timing::MonotonicClock::time_point::max());
    }
    s->timer = &timer;
    struct Detach {
      State* s;
      ~Detach() { s->timer = nullptr; }
    } detach{s.get()};
    while (!s->done) {
      auto [ec] = co_await timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
      if (s->done) break;
      // Cancellation is what the waiting task's own state says; the timer's
      // error code alone cannot tell it from our own cancel().
      if (co_await cancelled()) {
        s->done = true;
        throw_cancelled();
      }
      if (!ec && limited) {
        s->done = true;
        throw TaskTimeout("no answer to task " + s->task_id + " within " +
                          std::to_string(static_cast<long long>(limit_seconds)) + " s");
      }
    }
  }
  if (s->error) std::rethrow_exception(s->error);
  co_return s->value;
}

// --- TaskQueue ----------------------------------------------------------------

struct TaskQueue::Impl {
  explicit Impl(std::shared_ptr<LoopHandle> handle) : loop(std::move(handle)) { wake.emplace(loop->context()); }

  std::shared_ptr<LoopHandle> loop;
  std::deque<TaskRecord> items;
  // Woken (cancelled) by put() while get() waits on it. Gone after close(),
  // so that the queue holds nothing of a loop that may be destroyed.
  std::optional<boost::asio::steady_timer> wake;
  bool waiting = false;
  bool closed = false;
};

TaskQueue::TaskQueue(std::shared_ptr<LoopHandle> loop) : impl_(std::make_unique<Impl>(std::move(loop))) {}
TaskQueue::~TaskQueue() = default;

void TaskQueue::put(TaskRecord record) {
  if (impl_->closed) {
    robot::drop_task(record.kwargs);
    return;
  }
  impl_->items.push_back(std::move(record));
  if (impl_->waiting) impl_->wake->cancel();
}

boost::asio::awaitable<TaskRecord> TaskQueue::get() {
  Impl& q = *impl_;
  while (q.items.empty()) {
    if (q.closed) throw LoopStopped("the task queue is closed");
    q.wake->expires_at(boost::asio::steady_timer::time_point::max());
    q.waiting = true;
    // The outcome of the wait says nothing: put() wakes it by cancelling it,
    // and a cancellation of this task shows in the task's own state.
    co_await q.wake->async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
    q.waiting = false;
    if (co_await cancelled()) throw_cancelled();
  }
  TaskRecord record = std::move(q.items.front());
  q.items.pop_front();
  co_return record;
}

std::size_t TaskQueue::size() const {
  return impl_->items.size();
}

void TaskQueue::close() {
  impl_->closed = true;
  // A get() still waiting wakes and finds the queue closed.
  if (impl_->waiting && impl_->wake) impl_->wake->cancel();
  std::deque<TaskRecord> left;
  left.swap(impl_->items);
  for (const auto& record : left) robot::drop_task(record.kwargs);
}

void TaskQueue::release_loop() {
  impl_->wake.reset();
}

const std::shared_ptr<LoopHandle>& TaskQueue::loop() const {
  return impl_->loop;
}

}  // namespace orvanta

namespace orvanta::robot {
namespace {

std::string new_task_id() {
  thread_local boost::uuids::random_generator generate;
  const boost::uuids::uuid id = generate();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (auto byte : id) {
    text.push_back(kHex[(byte >> 4) & 0xF]);
    text.push_back(kHex[byte & 0xF]);
  }
  return text;
}

// Puts one record on the queue, on the listening loop.
class PutTask final : public LoopHandle::Work {
 public:
  PutTask(std::shared_ptr<TaskQueue> queue, TaskRecord record) : queue_(std::move(queue)), record_(std::move(record)) {}
  void run() override { queue_->put(std::move(record_)); }
  void fail(std::exception_ptr) noexcept override {
    try {
      drop_task(record_.kwargs);
    } catch (...) {
    }
  }

 private:
  std::shared_ptr<TaskQueue> queue_;
  TaskRecord record_;
};

// Submits a value-returning task and waits for its answer. The entry of its
// future leaves config.task_futures however the wait ends.
boost::asio::awaitable<Json> submit_and_wait(const char* action, Json kwargs) {
  const std::string task_id = new_task_id();
  auto future = co_await TaskFuture::on_current_loop(task_id);
  config.task_futures.insert(task_id, future);
  struct Release {
    const std::string& id;
    TaskFuture& future;
    ~Release() {
      future.abandon();
      config.task_futures.take(id);
    }
  } release{task_id, *future};
  kwargs["task_id"] = task_id;
  _put_task(action, std::move(kwargs));
  co_return co_await future->wait(task_wait_seconds());
}

// Builds a "kwargs" mapping with one allocation for its entries
// (submissions come at high rates).
class KwargsBuilder {
 public:
  explicit KwargsBuilder(std::size_t n) { items_.reserve(n); }
  KwargsBuilder& add(const char* key, Json value) {
    items_.emplace_back(key, std::move(value));
    return *this;
  }
  Json done() { return Json(std::move(items_)); }

 private:
  Json::object_t items_;
};

Json text_or_null(std::optional<std::string> text) {
  return text ? Json(std::move(*text)) : Json(nullptr);
}

const Json& member(const Json& send_data, const char* key) {
  if (!send_data.is_object() || !send_data.contains(key))
    throw AttributeError(std::string("server message has no attribute '") + key + "'");
  const Json& value = send_data[key];
  if (!value.is_string()) throw TypeError(std::string("server message attribute '") + key + "' must be str");
  return value;
}

}  // namespace

void drop_task(const Json& kwargs) {
  logger()->error("[robot] 子线程循环未就绪，丢弃任务");
  if (!kwargs.is_object()) return;
  auto id = kwargs.find("task_id");
  if (id == kwargs.end() || !id->is_string()) return;
  if (auto future = config.task_futures.take(id->get<std::string>()))
    future->set_exception(std::make_exception_ptr(TaskDropped("task dropped: the listening loop is not running")));
}

void _put_task(const std::string& action, Json kwargs) {
  auto loop = config.wx_task_loop.load();
  auto queue = config.wx_task_queue.load();
  if (!loop || !queue) {
    drop_task(kwargs);
    return;
  }
  // The queue's own loop takes the record, so a queue is only ever touched
  // by the thread of the loop it belongs to.
  (*queue)->loop()->submit(std::make_unique<PutTask>(*queue, TaskRecord{action, std::move(kwargs)}));
}

void wx_send_msg(std::string content, std::string who, std::optional<std::string> at) {
  _put_task("SendMsg", KwargsBuilder(3)
                           .add("content", std::move(content))
                           .add("who", std::move(who))
                           .add("at", text_or_null(std::move(at)))
                           .done());
}

void wx_reply_with_quote(std::string msg_id, std::string reply_text, std::string chat_name,
                         std::optional<std::string> at) {
  _put_task("reply_with_quote", KwargsBuilder(4)
                                    .add("msg_id", std::move(msg_id))
                                    .add("reply_text", std::move(reply_text))
                                    .add("chat_name", std::move(chat_name))
                                    .add("at", text_or_null(std::move(at)))
                                    .done());
}

void wx_send_private_msg(std::string content, std::string who) {
  _put_task("SendMsg", KwargsBuilder(2).add("content", std::move(content)).add("who", std::move(who)).done());
}

boost::asio::awaitable<std::optional<std::vector<std::string>>> wx_get_group_memberlist(std::string chat_name) {
  Json kwargs = Json::object();
  kwargs["chat_name"] = std::move(chat_name);
  Json answer = co_await submit_and_wait("get_group_memberlist", std::move(kwargs));
  if (answer.is_null()) co_return std::nullopt;
  if (!answer.is_array())
    throw TypeError("wx_get_group_memberlist: expected list, got " + std::string(answer.type_name()));
  std::vector<std::string> members;
  members.reserve(answer.size());
  for (const auto& name : answer) {
    if (!name.is_string()) throw TypeError("wx_get_group_memberlist: expected list of str");
    members.push_back(name.get<std::string>());
  }
  co_return members;
}

boost::asio::awaitable<std::optional<std::string>> wx_get_img_md5(std::string content, std::string chat_name) {
  Json kwargs = Json::object();
  kwargs["content"] = std::move(content);
  // The picture is looked for in this chat, opened first: the open chat may
  // be another by the time the task runs.
  if (!chat_name.empty()) kwargs["chat_name"] = std::move(chat_name);
  Json answer = co_await submit_and_wait("get_img_md5", std::move(kwargs));
  if (answer.is_null()) co_return std::nullopt;
  if (!answer.is_string()) throw TypeError("wx_get_img_md5: expected str, got " + std::string(answer.type_name()));
  co_return answer.get<std::string>();
}

boost::asio::awaitable<std::string> get_latest_msg_quote(Json send_data) {
  const std::string quote_content = member(send_data, "quote_content").get<std::string>();
  LatestQuery query;
  if (quote_content == "[图片]") {
    auto key = co_await wx_get_img_md5(member(send_data, "content").get<std::string>(),
                                       member(send_data, "position").get<std::string>());
    // Without the picture's key nothing identifies the quoted message; a
    // query without the key would name the group's newest row instead.
    if (!key || key->empty()) co_return std::string();
    query.img_md5 = std::move(*key);
  } else {
    query.content = quote_content;
  }
  query.group_name = member(send_data, "position").get<std::string>();
  Rows rows = config.db.get()->get_latest_messages(1, query);
  if (rows.empty()) co_return std::string();
  const Json& id = rows.front().at("msg_id");
  co_return id.is_string() ? id.get<std::string>() : std::string();
}

void _real_send_msg(const std::string& content, const std::string& who, const std::optional<std::string>& at) {
  config.wx.get()->SendMsg(content, who, at);
}

void _real_reply_with_quote(const std::string& msg_id, const std::string& reply_text, const std::string& chat_name,
                            const std::optional<std::string>& at) {
  reply_with_quote(msg_id, reply_text, chat_name, at);
}

}  // namespace orvanta::robot
