#pragma once

// The message store `MessageDB` and the record type `MessageData`.
//
// Rows come back as mappings read by key ("id", "group_name", "type",
// "content", "sender", "timestamp", "msg_id", "quote_id", "quote_content",
// "recall_id", "image_url", "have_checked", "status", "img_md5"): "id" is an
// integer assigned by the store, "sender" may be null, every other value is
// text.
//
// Thread-safety: every operation may be called from any thread while another
// thread uses the store. The raw-statement path (`conn`) is the exception:
// its callers hold `lock()` around cursor creation, execution and commit, and
// the store's own operations take the same lock, so a raw statement never
// interleaves with them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvanta/json.hpp"
#include "orvanta/visibility.hpp"

namespace orvanta {

using Row = Json;
using Rows = std::vector<Row>;

// A message record, built by keyword:
//   MessageData{.group_name = g, .type = "text", ...}
// Every member has a default initializer so that such a record (and a query
// below) may name only some members without a missing-initializer warning.
// `sender` is absent when the window message had no sender.
struct MessageData {
  std::string group_name{};
  std::string type{};
  std::string content{};
  std::optional<std::string> sender{};
  std::string msg_id{};
  std::string quote_id{};
  std::string quote_content{};
  std::string recall_id{};
  std::string image_url{};
  std::string have_checked{};
  std::string status{};
  std::string img_md5{};
  std::string timestamp{};
};

// Filters of get_latest_messages: the group, and one (or more, all of which
// must hold) of the other keys. `type` matches any of the listed types, so
// an empty list matches no row.
struct LatestQuery {
  std::string group_name{};
  std::optional<std::string> msg_id{};
  std::optional<std::string> img_md5{};
  std::optional<std::string> content{};
  std::optional<std::vector<std::string>> type{};
};

// Filters of get_all_messages; an absent key, or an empty group name or
// checked flag, does not filter. `type` matches any of the listed types, so
// an empty list (a filter on no types) matches no row, as in LatestQuery.
struct AllQuery {
  std::optional<std::string> group_name{};
  std::optional<std::string> have_checked{};
  std::optional<std::vector<std::string>> type{};
};

// The lock held around raw statements. The owning thread may take it again
// (a raw-path caller may call the store's own operations while holding it).
class ORVANTA_INTERFACE StoreLock {
 public:
  virtual ~StoreLock() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
  virtual bool try_lock() = 0;
  // Whether the calling thread holds the lock.
  virtual bool held_by_this_thread() const = 0;
};

// A cursor of the raw path. REQUIRES: the caller holds the store's lock.
class ORVANTA_INTERFACE Cursor {
 public:
  virtual ~Cursor() = default;
  // Runs one statement. A data-changing statement opens a transaction that
  // lasts until Connection::commit; a statement that fails changes nothing
  // and raises DatabaseError.
  virtual void execute(const std::string& statement) = 0;
  // Rows changed by the last data-changing statement, -1 before any.
  virtual std::int64_t rowcount() const = 0;
};

// The database connection of the raw path. REQUIRES: the caller holds the
// store's lock.
class ORVANTA_INTERFACE Connection {
 public:
  virtual ~Connection() = default;
  virtual std::unique_ptr<Cursor> cursor() = 0;
  // Commits the open transaction, if any.
  virtual void commit() = 0;
  // Rolls the open transaction back, if any.
  virtual void rollback() = 0;
};

class ORVANTA_INTERFACE MessageDB {
 public:
  virtual ~MessageDB() = default;

  // Stores one row given as a mapping with the 13 keys of MessageData.
  virtual void insert_messages(const Row& row) = 0;

  // Stores `row` (without "group_name" and "have_checked") directly after the
  // row `target_id` of `group_name` in the group's order and returns the new
  // row's id. Raises ValueError when it cannot (for example when the group
  // has no row `target_id`).
  virtual std::int64_t insert_after_record(const std::string& group_name, std::int64_t target_id, const Row& row) = 0;

  // At most `n` rows of the group matching the query, newest first.
  virtual Rows get_latest_messages(int n, const LatestQuery& query) = 0;

  // All rows matching the query, oldest first.
  virtual Rows get_all_messages(const AllQuery& query) = 0;

  // Gives the rows whose column `key` equals `value` the fields of `fields`.
  // Raises ValueError for a column name the table does not have.
  virtual void update_message_fields(const std::string& key, const Json& value, const Row& fields) = 0;

  // Number of rows of the group.
  virtual std::int64_t get_message_count_by_group(const std::string& group_name) = 0;

  // Stores a group's member list: a mapping with "group_name" and "member"
  // (the JSON text of the list of names). A later list replaces an earlier
  // one of the same group.
  virtual void insert_group_member(const Row& record) = 0;
  // The stored member list text of a group, if any.
  virtual std::optional<std::string> get_group_member(const std::string& group_name) = 0;

  // Removes the table. Raises ValueError for a name that is not a plain
  // table name, DatabaseError when there is no such table.
  virtual void drop_table(const std::string& table_name) = 0;

  virtual StoreLock& lock() = 0;
  virtual Connection& conn() = 0;
};

}  // namespace orvanta
