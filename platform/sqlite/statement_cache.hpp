#pragma once

// Prepared statements of one SQLite connection and the small helpers that
// bind, step and report errors for them.
//
// Thread-safety: none. The owner serialises every use (the message store
// does so with its lock).

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <sqlite3.h>

#include "orvanta/json.hpp"

namespace orvanta::sqlite {

// Raises DatabaseError carrying SQLite's message for the last failure on `db`.
[[noreturn]] void raise_sqlite_error(sqlite3* db);

// Prepared statements keyed by their SQL text, so that a statement run again
// is not compiled again. A lookup by a text already seen allocates nothing.
//
// A cache made with a bound on its size drops every statement when it is
// full and a new text arrives; a caller of such a cache uses one statement at
// a time. An unbounded cache keeps each statement until it is destroyed.
class StatementCache {
 public:
  explicit StatementCache(sqlite3* db, std::size_t max_entries = 0) : db_(db), max_entries_(max_entries) {}
  ~StatementCache();
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // The statement for `sql`, ready to bind and step. Returns nullptr when the
  // text holds no statement (only blanks or comments). Raises DatabaseError
  // when the text does not compile or holds more than one statement.
  sqlite3_stmt* get(std::string_view sql);

 private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };

  void clear();

  sqlite3* db_;
  std::size_t max_entries_;
  std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> statements_;
};

// Resets a statement when the scope ends, so that it holds no read snapshot
// and no lock after its use, also when its use failed.
class StatementReset {
 public:
  explicit StatementReset(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementReset() { sqlite3_reset(statement_); }
  StatementReset(const StatementReset&) = delete;
  StatementReset& operator=(const StatementReset&) = delete;

 private:
  sqlite3_stmt* statement_;
};

// Binds text without copying it. REQUIRES: `value` outlives the statement's
// next reset.
void bind_text(sqlite3_stmt* statement, int index, std::string_view value);

// Binds a JSON scalar: text as text, numbers as numbers, a boolean as 0 or 1,
// null as NULL. Raises TypeError for arrays and objects. REQUIRES: `value`
// outlives the statement's next reset.
void bind_json(sqlite3_stmt* statement, int index, const Json& value);

// Steps a statement that returns no rows to its end; raises DatabaseError
// when it fails.
void run_to_end(sqlite3* db, sqlite3_stmt* statement);

}  // namespace orvanta::sqlite
