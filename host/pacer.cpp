// The pacer's queue and its release loop on the host's event loop.

#include "pacer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "log_failure.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/robot/timing.hpp"
#include "printable.hpp"
#include "wakeup.hpp"

namespace orvanta::host {

namespace asio = boost::asio;

namespace {

double clock_seconds() {
  return std::chrono::duration<double>(timing::MonotonicClock::now().time_since_epoch()).count();
}

struct Item {
  std::string chat;
  std::string what;
  Pacer::Action action;
  Pacer::Report report;
};

void tell(const Item& item, Pacer::Outcome outcome, const std::string& reason) {
  if (!item.report) return;
  try {
    item.report(outcome, reason);
  } catch (const std::exception& e) {
    logger()->error("reporting the outcome of {} to {} failed: {}", item.what, printable(item.chat), e.what());
  }
}

}  // namespace

struct Pacer::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& l, PacingLimits lim) : loop(l), limits(lim), wakeup(l.get_executor()) {
    limits.per_chat = std::max<std::size_t>(limits.per_chat, 1);
    limits.total = std::max<std::size_t>(limits.total, 1);
  }

  asio::io_context& loop;
  PacingLimits limits;
  std::atomic<std::uint64_t> released{0};
  std::atomic<bool> held{false};

  mutable std::mutex mu;
  std::deque<Item> queue;  // guarded by mu

  // Loop thread only.
  Wakeup wakeup;
  bool stopped = false;
  std::deque<double> sent_all;
  std::map<std::string, std::deque<double>> sent_by_chat;

  void forget_before(double t) {
    while (!sent_all.empty() && sent_all.front() <= t) sent_all.pop_front();
    for (auto it = sent_by_chat.begin(); it != sent_by_chat.end();) {
      auto& times = it->second;
      while (!times.empty() && times.front() <= t) times.pop_front();
      it = times.empty() ? sent_by_chat.erase(it) : std::next(it);
    }
  }

  // Takes the first message that may go now, or tells how long until one
  // may (infinity when the queue is empty).
  std::optional<Item> take_ready(double now, double& wait) {
    std::lock_guard guard(mu);
    wait = std::numeric_limits<double>::infinity();
    if (queue.empty()) return std::nullopt;
    const double total_free_at = sent_all.size() < limits.total ? now : sent_all.front() + limits.window;
    std::set<std::string> seen;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
      if (!seen.insert(it->chat).second) continue;  // not this chat's first message
      double chat_free_at = now;
      if (auto found = sent_by_chat.find(it->chat);
          found != sent_by_chat.end() && found->second.size() >= limits.per_chat)
        chat_free_at = found->second.front() + limits.window;
      const double free_at = std::max(total_free_at, chat_free_at);
      if (free_at <= now) {
        Item item = std::move(*it);
        queue.erase(it);
        return item;
      }
      wait = std::min(wait, free_at - now);
    }
    return std::nullopt;
  }

  asio::awaitable<void> run() {
    while (!stopped) {
      if (held) {
        co_await wakeup.wait();
        continue;
      }
      const double now = clock_seconds();
      forget_before(now - limits.window);
      double wait = 0;
      auto item = take_ready(now, wait);
      if (!item) {
        if (wait == std::numeric_limits<double>::infinity()) {
          co_await wakeup.wait();
        } else {
          co_await wakeup.wait_for(wait);
        }
        continue;
      }
      sent_all.push_back(now);
      sent_by_chat[item->chat].push_back(now);
      ++released;
      std::string failure;
      try {
        item->action();
      } catch (const std::exception& e) {
        failure = e.what();
        if (failure.empty()) failure = "failed";
      }
      if (failure.empty()) {
        tell(*item, Outcome::kDone, "");
      } else {
        logger()->error("sending {} to {} failed: {}", item->what, printable(item->chat), printable(failure));
        tell(*item, Outcome::kFailed, failure);
      }
    }
    // Stopped: what is still queued will not be sent by this process.
    std::deque<Item> left;
    {
      std::lock_guard guard(mu);
      left.swap(queue);
    }
    for (const auto& item : left) {
      logger()->warn("stopping: dropped {} to {}", item.what, printable(item.chat));
      tell(item, Outcome::kDropped, "the host stopped before it was sent");
    }
  }
};

Pacer::Pacer(asio::io_context& loop, PacingLimits limits) : impl_(std::make_shared<Impl>(loop, limits)) {}

Pacer::~Pacer() {
  stop();
}

bool Pacer::submit(std::string chat, std::string what, Action action, Report report) {
  {
    std::unique_lock guard(impl_->mu);
    if (impl_->queue.size() >= impl_->limits.queue_limit) {
      guard.unlock();
      logger()->warn("send queue full ({} messages): dropped {} to {}", impl_->limits.queue_limit, what,
                     printable(chat));
      tell(Item{std::move(chat), std::move(what), {}, std::move(report)}, Outcome::kDropped, "the send queue is full");
      return false;
    }
    impl_->queue.push_back(Item{std::move(chat), std::move(what), std::move(action), std::move(report)});
  }
  asio::post(impl_->loop, [impl = impl_] { impl->wakeup.notify(); });
  return true;
}

void Pacer::start() {
  asio::co_spawn(
      impl_->loop, [impl = impl_]() { return impl->run(); }, log_failure("send pacing"));
}

void Pacer::stop() {
  asio::post(impl_->loop, [impl = impl_] {
    impl->stopped = true;
    impl->wakeup.notify();
  });
}

void Pacer::hold(bool on) {
  if (impl_->held.exchange(on) == on) return;
  if (on) {
    logger()->info("sending held while listening is down ({} waiting)", queued());
  } else {
    logger()->info("sending resumed ({} waiting)", queued());
  }
  asio::post(impl_->loop, [impl = impl_] { impl->wakeup.notify(); });
}

bool Pacer::held() const {
  return impl_->held;
}

std::size_t Pacer::queued() const {
  std::lock_guard guard(impl_->mu);
  return impl_->queue.size();
}

std::uint64_t Pacer::released() const {
  return impl_->released;
}

const PacingLimits& Pacer::limits() const {
  return impl_->limits;
}

}  // namespace orvanta::host
