#pragma once

// Events on their way to the group-management server, kept in the store
// file ("wxChat.db") in a table of their own, "outbox", over a connection of
// their own. An event stays there until the server has acknowledged it, so
// nothing is lost while the link is down, nor when the process stops before
// the server has seen it: the next run delivers it.
//
// Every event gets its `event_id` here: unique and rising in the order the
// events were kept (see EventIdGenerator), also across runs, since the last
// one given is kept in the file too ("outbox_state").
//
// The outbox is bounded. When it is full, an event is dropped to make room:
// the oldest answer to a read request if there is one, else the oldest
// event; the drop is logged with the event's identifier and whether it had
// been sent. After a long outage the server gets the newest events rather
// than none, and chat events outlive answers.
//
// Thread-safety: every member may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "event_id.hpp"

struct sqlite3;

namespace orvanta::host {

inline constexpr std::size_t kDefaultOutboxCapacity = 10000;

// What an event is, for the choice of what to drop when the outbox is full.
enum class EventKind {
  kChat = 0,    // something that happened in the client
  kAnswer = 1,  // an answer to a server request
};

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

  struct Pushed {
    std::string event_id;
    std::size_t dropped = 0;  // events dropped to make room
  };
  // Adds an event at the end under a new event_id; `body(event_id)` gives its
  // text. `sent_through`: events up to this seq have gone out (for the log
  // of a drop).
  Pushed push(EventKind kind, const std::function<std::string(const std::string& event_id)>& body,
              std::int64_t sent_through = 0);
  // Adds an event at the end under the identifier given. Returns how many
  // old events were dropped to make room (0 unless the outbox was full).
  std::size_t push(const std::string& event_id, const std::string& body, EventKind kind = EventKind::kChat);

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
  // Under mu_, in a transaction.
  std::size_t make_room(std::int64_t sent_through);
  void insert(EventKind kind, const std::string& event_id, const std::string& body);

  const std::size_t capacity_;
  mutable std::mutex mu_;
  sqlite3* db_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t dropped_ = 0;
  std::unique_ptr<EventIdGenerator> ids_;
};

}  // namespace orvanta::host
