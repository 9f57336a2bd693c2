#pragma once

// Events on their way to the group-management server, kept in the store
// file ("wxChat.db") in a table of their own, "outbox", over a connection of
// their own. An event stays there until the server has acknowledged it, so
// nothing is lost while the link is down, nor when the process stops before
// the server has seen it: the next run delivers it.
//
// The outbox is bounded. When it is full, the oldest event is dropped to make
// room and the drop is logged with the event's identifier: after a long
// outage the server gets the newest events rather than none.
//
// Thread-safety: every member may be called from any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace orvanta::host {

inline constexpr std::size_t kDefaultOutboxCapacity = 10000;

class Outbox {
 public:
  struct Entry {
    std::int64_t seq;      // the order of the event, rising
    std::string event_id;  // the event's stable identifier
    std::string body;      // the JSON text sent to the server
  };

  // Opens (creating the table when missing) the outbox in the SQLite file at
  // `path`. Raises DatabaseError when it cannot.
  Outbox(const std::string& path, std::size_t capacity = kDefaultOutboxCapacity);
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Adds an event at the end. Returns how many old events were dropped to
  // make room (0 unless the outbox was full).
  std::size_t push(const std::string& event_id, const std::string& body);

  // Up to `limit` events after `seq`, oldest first.
  std::vector<Entry> after(std::int64_t seq, std::size_t limit) const;

  // The server acknowledged `event_id` and, with it, every event sent
  // before it: removes the oldest event with that identifier among those
  // with seq <= `sent_through`, and every older one. Returns the number
  // removed (0 for an identifier not among them).
  std::size_t acknowledge(const std::string& event_id, std::int64_t sent_through);

  // Events with seq <= `seq`.
  std::size_t count_through(std::int64_t seq) const;

  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }
  // Events dropped because the outbox was full, since it was opened.
  std::uint64_t dropped() const;

 private:
  void exec(const char* sql) const;

  const std::size_t capacity_;
  mutable std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace orvanta::host
