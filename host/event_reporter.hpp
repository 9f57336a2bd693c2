#pragma once

// The host's event handlers: each new group message, private message, join
// and recall is announced on standard output and in the log, counted, and
// published for the server with a stable identifier (a message identifier of
// the system; docs/protocol.md lists the records).
//
// Thread-safety: the handlers run on the listening thread; the counters may
// be read from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "orvanta/json.hpp"
#include "orvanta/message.hpp"

namespace orvanta::host {

struct EventCounts {
  std::atomic<std::uint64_t> group_messages{0};
  std::atomic<std::uint64_t> private_messages{0};
  std::atomic<std::uint64_t> joins{0};
  std::atomic<std::uint64_t> recalls{0};
  std::atomic<std::uint64_t> gaps{0};

  std::uint64_t total() const { return group_messages + private_messages + joins + recalls + gaps; }
};

// The members a join notice names: "Judy、Ken" gives Judy and Ken.
std::vector<std::string> joined_members(const std::string& names);

class EventReporter {
 public:
  // `publish` keeps a record for the server; empty when there is no server.
  using Publish = std::function<void(const std::string& event_id, const Json& record)>;

  explicit EventReporter(Publish publish);

  boost::asio::awaitable<void> group_message(Message msg);
  boost::asio::awaitable<void> private_message(std::string chat_name, std::string msg_id);
  boost::asio::awaitable<void> member_joined(std::string name, std::string group);
  boost::asio::awaitable<void> message_recalled(std::string msg_id, std::string group);
  // Messages of `chat` may have been missed (`reason` says why).
  boost::asio::awaitable<void> gap(std::string chat, std::string reason);

  const EventCounts& counts() const { return *counts_; }

 private:
  void emit(const std::string& id, const Json& record);

  Publish publish_;
  std::shared_ptr<EventCounts> counts_ = std::make_shared<EventCounts>();
};

}  // namespace orvanta::host
