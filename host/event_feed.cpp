// The sender of the event feed: one coroutine on the host's loop that moves
// outbox entries onto the link and sleeps on a wake-up timer in between.

#include "event_feed.hpp"

#include <algorithm>
#include <atomic>
#include <exception>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "log_failure.hpp"
#include "orvanta/robot/cancellation.hpp"
#include "orvanta/robot/fetching.hpp"
#include "orvanta/robot/json_text.hpp"
#include "orvanta/robot/logger.hpp"
#include "orvanta/ws_client.hpp"
#include "printable.hpp"
#include "wakeup.hpp"

namespace orvanta::host {

namespace asio = boost::asio;

namespace {
// Entries read from the outbox at a time.
constexpr std::size_t kBatch = 64;

}  // namespace

struct EventFeed::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::io_context& l, std::shared_ptr<Outbox> o, std::shared_ptr<WsClient> k, std::size_t w)
      : loop(l),
        outbox(std::move(o)),
        link(std::move(k)),
        window(std::max<std::size_t>(w, 1)),
        wakeup(l.get_executor()) {}

  asio::io_context& loop;
  std::shared_ptr<Outbox> outbox;
  std::shared_ptr<WsClient> link;
  const std::size_t window;
  std::atomic<std::uint64_t> published{0};
  std::atomic<std::uint64_t> frames_sent{0};
  std::atomic<std::uint64_t> acknowledged{0};

  // Loop thread only.
  Wakeup wakeup;
  bool stopped = false;
  bool warned_window = false;
  // Every event up to this seq has gone out on the current connection (read
  // by publish() on other threads for the log of a drop).
  std::atomic<std::int64_t> sent_through{0};
  // Changes whenever the link goes up or down.
  std::uint64_t generation = 0;

  void wake() { wakeup.notify(); }
  asio::awaitable<void> wait_for_wake() { return wakeup.wait(); }

  asio::awaitable<void> run() {
    while (!stopped) {
      if (!link->ws()) {
        co_await wait_for_wake();
        continue;
      }
      const std::size_t in_flight = outbox->count_through(sent_through);
      if (in_flight >= window) {
        if (!warned_window) {
          logger()->warn("server has not acknowledged the last {} events; waiting before sending more", in_flight);
          warned_window = true;
        }
        co_await wait_for_wake();
        continue;
      }
      auto batch = outbox->after(sent_through, std::min(kBatch, window - in_flight));
      if (batch.empty()) {
        co_await wait_for_wake();
        continue;
      }
      const auto gen = generation;
      bool failed = false;
      for (const auto& entry : batch) {
        if (stopped || gen != generation || !link->ws()) break;
        std::exception_ptr failure;
        try {
          co_await robot::send(Json::parse(entry.body));
        } catch (const std::exception&) {
          failure = std::current_exception();
        }
        if (failure) {
          rethrow_if_cancelled(co_await asio::this_coro::cancellation_state, failure);
          // The link noticed or will notice; the entry goes again when it is back.
          logger()->info("event {} not sent: {}", entry.event_id, error_text(failure));
          failed = true;
          break;
        }
        if (gen != generation) break;
        sent_through = entry.seq;
        ++frames_sent;
      }
      // Wait for the link to report itself down (or for anything else) rather
      // than trying the same entry again at once.
      if (failed) co_await wait_for_wake();
    }
  }
};

EventFeed::EventFeed(asio::io_context& loop, std::shared_ptr<Outbox> outbox, std::shared_ptr<WsClient> link,
                     std::size_t window)
    : impl_(std::make_shared<Impl>(loop, std::move(outbox), std::move(link), window)) {}

EventFeed::~EventFeed() {
  stop();
}

std::string EventFeed::publish(Json record, EventKind kind) {
  auto pushed = impl_->outbox->push(
      kind,
      [&record](const std::string& event_id) {
        record["event_id"] = event_id;
        return robot::json_dumps(record);
      },
      impl_->sent_through);
  ++impl_->published;
  asio::post(impl_->loop, [impl = impl_] { impl->wake(); });
  return pushed.event_id;
}

void EventFeed::start() {
  asio::co_spawn(
      impl_->loop, [impl = impl_]() { return impl->run(); }, log_failure("the event sender"));
}

void EventFeed::stop() {
  asio::post(impl_->loop, [impl = impl_] {
    impl->stopped = true;
    impl->wake();
  });
}

void EventFeed::link_state(bool up) {
  ++impl_->generation;
  if (up) {
    impl_->sent_through = 0;
    impl_->warned_window = false;
  }
  impl_->wake();
}

void EventFeed::acknowledge(const std::string& event_id) {
  const auto removed = impl_->outbox->acknowledge(event_id, impl_->sent_through);
  impl_->acknowledged += removed;
  if (removed == 0)
    logger()->warn("acknowledgement of {} ignored: no event sent on this connection has that event_id",
                   printable(event_id));
  if (removed > 0) {
    impl_->warned_window = false;
    impl_->wake();
  }
}

std::uint64_t EventFeed::published() const {
  return impl_->published;
}
std::uint64_t EventFeed::frames_sent() const {
  return impl_->frames_sent;
}
std::uint64_t EventFeed::acknowledged() const {
  return impl_->acknowledged;
}
std::size_t EventFeed::pending() const {
  return impl_->outbox->size();
}

}  // namespace orvanta::host
