#pragma once

// Delivery of events to the group-management server: every event is first
// kept in the outbox, then sent through robot::send in the order it was
// published, and removed once the server has acknowledged it. When the link
// comes back after an outage, everything not yet acknowledged is sent again
// from the oldest, so each event arrives at least once and in order; the
// server drops repeats by the event's `event_id`, which the outbox gives it
// and which is added to the record as its last key.
//
// At most `window` events are sent ahead of the server's acknowledgements.
//
// Thread-safety: publish() may be called from any thread (the event handlers
// run on the listening thread); every other member on the loop's thread.

#include <cstdint>
#include <memory>
#include <string>

#include "orvanta/json.hpp"
#include "outbox.hpp"

namespace boost::asio {
class io_context;
}

namespace orvanta {
class WsClient;
}

namespace orvanta::host {

inline constexpr std::size_t kDefaultSendWindow = 100;

class EventFeed {
 public:
  // `link` is the connection events go out on (also config.ws_client).
  EventFeed(boost::asio::io_context& loop, std::shared_ptr<Outbox> outbox, std::shared_ptr<WsClient> link,
            std::size_t window = kDefaultSendWindow);
  ~EventFeed();
  EventFeed(const EventFeed&) = delete;
  EventFeed& operator=(const EventFeed&) = delete;

  // Keeps the record for the server under a new event_id and wakes the
  // sender; returns the event_id. Raises DatabaseError when the outbox
  // cannot store it.
  std::string publish(Json record, EventKind kind = EventKind::kChat);

  void start();
  void stop();
  // The link came up (everything unacknowledged goes again) or went down.
  void link_state(bool up);
  // The server acknowledged `event_id` and everything sent before it.
  void acknowledge(const std::string& event_id);

  // Counters, readable from any thread.
  std::uint64_t published() const;
  std::uint64_t frames_sent() const;
  std::uint64_t acknowledged() const;
  std::size_t pending() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvanta::host
