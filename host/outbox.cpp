// The outbox table over SQLite's C interface. Statements are few and short;
// each is prepared at its use.

#include "outbox.hpp"

#include <utility>

#include <sqlite3.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/logger.hpp"

namespace orvanta::host {
namespace {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail("prepare");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int i, std::int64_t v) {
    if (sqlite3_bind_int64(stmt_, i, v) != SQLITE_OK) fail("bind");
    return *this;
  }
  Statement& bind(int i, const std::string& v) {
    if (sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) != SQLITE_OK) fail("bind");
    return *this;
  }
  // True while a row is there.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail("step");
  }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw DatabaseError(std::string("outbox: ") + what + ": " + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

Outbox::Outbox(const std::string& path, std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    throw DatabaseError("outbox: cannot open " + path + ": " + why);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec(
        "CREATE TABLE IF NOT EXISTS outbox ("
        "seq INTEGER PRIMARY KEY AUTOINCREMENT, event_id TEXT NOT NULL, body TEXT NOT NULL)");
    exec("CREATE INDEX IF NOT EXISTS outbox_event_id ON outbox(event_id)");
    Statement count(db_, "SELECT COUNT(*) FROM outbox");
    count.step();
    size_ = static_cast<std::size_t>(count.integer(0));
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Outbox::~Outbox() {
  sqlite3_close(db_);
}

void Outbox::exec(const char* sql) const {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string why = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(std::string("outbox: ") + why);
  }
}

std::size_t Outbox::push(const std::string& event_id, const std::string& body) {
  std::lock_guard guard(mu_);
  exec("BEGIN IMMEDIATE");
  try {
    std::size_t removed = 0;
    std::vector<std::string> dropped_ids;
    if (size_ >= capacity_) {
      const auto excess = static_cast<std::int64_t>(size_ - capacity_ + 1);
      Statement oldest(db_, "SELECT event_id FROM outbox ORDER BY seq LIMIT ?");
      oldest.bind(1, excess);
      while (oldest.step()) dropped_ids.push_back(oldest.text(0));
      Statement drop(db_, "DELETE FROM outbox WHERE seq IN (SELECT seq FROM outbox ORDER BY seq LIMIT ?)");
      drop.bind(1, excess);
      drop.step();
      removed = static_cast<std::size_t>(sqlite3_changes(db_));
    }
    Statement insert(db_, "INSERT INTO outbox(event_id, body) VALUES(?, ?)");
    insert.bind(1, event_id).bind(2, body);
    insert.step();
    exec("COMMIT");
    size_ = size_ - removed + 1;
    dropped_ += removed;
    for (const auto& id : dropped_ids)
      logger()->warn("outbox full ({} events): dropped the oldest event {}", capacity_, id);
    return removed;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::vector<Outbox::Entry> Outbox::after(std::int64_t seq, std::size_t limit) const {
  std::lock_guard guard(mu_);
  Statement select(db_, "SELECT seq, event_id, body FROM outbox WHERE seq > ? ORDER BY seq LIMIT ?");
  select.bind(1, seq).bind(2, static_cast<std::int64_t>(limit));
  std::vector<Entry> out;
  while (select.step()) out.push_back(Entry{select.integer(0), select.text(1), select.text(2)});
  return out;
}

std::size_t Outbox::acknowledge(const std::string& event_id, std::int64_t sent_through) {
  std::lock_guard guard(mu_);
  // One statement finds the event and deletes up to it, so it holds the write
  // lock from the start and waits out the busy timeout. A look-up before the
  // delete would take a read snapshot that SQLite cannot turn into a write
  // once the store's connection has written since: it would fail the delete
  // at once with "database is locked". When the event is not there, MIN is
  // NULL and nothing is deleted.
  Statement drop(db_,
                 "DELETE FROM outbox WHERE seq <= "
                 "(SELECT MIN(seq) FROM outbox WHERE event_id = ? AND seq <= ?)");
  drop.bind(1, event_id).bind(2, sent_through);
  drop.step();
  const auto removed = static_cast<std::size_t>(sqlite3_changes(db_));
  size_ -= removed;
  return removed;
}

std::size_t Outbox::count_through(std::int64_t seq) const {
  std::lock_guard guard(mu_);
  Statement count(db_, "SELECT COUNT(*) FROM outbox WHERE seq <= ?");
  count.bind(1, seq);
  count.step();
  return static_cast<std::size_t>(count.integer(0));
}

std::size_t Outbox::size() const {
  std::lock_guard guard(mu_);
  return size_;
}

std::uint64_t Outbox::dropped() const {
  std::lock_guard guard(mu_);
  return dropped_;
}

}  // namespace orvanta::host
