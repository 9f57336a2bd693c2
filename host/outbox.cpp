// The outbox table over SQLite's C interface. Statements are few and short;
// each is prepared at its use.

#include "outbox.hpp"

#include <optional>
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
    // The kind of an event (EventKind); an outbox of an earlier version has
    // chat events only.
    bool has_kind = false;
    {
      Statement columns(db_, "PRAGMA table_info(outbox)");
      while (columns.step())
        if (columns.text(1) == "kind") has_kind = true;
    }
    if (!has_kind) exec("ALTER TABLE outbox ADD COLUMN kind INTEGER NOT NULL DEFAULT 0");
    exec("CREATE TABLE IF NOT EXISTS outbox_state (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
    Statement count(db_, "SELECT COUNT(*) FROM outbox");
    count.step();
    size_ = static_cast<std::size_t>(count.integer(0));
    Statement last(db_, "SELECT value FROM outbox_state WHERE key = 'last_event_id'");
    std::optional<std::string> last_id;
    if (last.step()) last_id = last.text(0);
    ids_ = std::make_unique<EventIdGenerator>(last_id);
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

std::size_t Outbox::make_room(std::int64_t sent_through) {
  std::size_t removed = 0;
  while (size_ - removed >= capacity_) {
    // The oldest answer first, else the oldest event.
    Statement oldest(db_, "SELECT seq, event_id, kind FROM outbox ORDER BY (kind = 1) DESC, seq LIMIT 1");
    if (!oldest.step()) break;
    const auto seq = oldest.integer(0);
    const auto id = oldest.text(1);
    const bool answer = oldest.integer(2) == static_cast<int>(EventKind::kAnswer);
    Statement drop(db_, "DELETE FROM outbox WHERE seq = ?");
    drop.bind(1, seq);
    drop.step();
    ++removed;
    logger()->warn("outbox full ({} events): dropped the oldest {} {} ({})", capacity_, answer ? "answer" : "event", id,
                   seq <= sent_through ? "sent, not acknowledged" : "never sent");
  }
  return removed;
}

void Outbox::insert(EventKind kind, const std::string& event_id, const std::string& body) {
  Statement insert(db_, "INSERT INTO outbox(event_id, body, kind) VALUES(?, ?, ?)");
  insert.bind(1, event_id).bind(2, body).bind(3, static_cast<std::int64_t>(kind));
  insert.step();
}

Outbox::Pushed Outbox::push(EventKind kind, const std::function<std::string(const std::string& event_id)>& body,
                            std::int64_t sent_through) {
  std::lock_guard guard(mu_);
  exec("BEGIN IMMEDIATE");
  try {
    Pushed pushed;
    pushed.event_id = ids_->next();
    const std::string text = body(pushed.event_id);
    pushed.dropped = make_room(sent_through);
    insert(kind, pushed.event_id, text);
    Statement keep(db_, "INSERT OR REPLACE INTO outbox_state(key, value) VALUES('last_event_id', ?)");
    keep.bind(1, pushed.event_id);
    keep.step();
    exec("COMMIT");
    size_ = size_ - pushed.dropped + 1;
    dropped_ += pushed.dropped;
    return pushed;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::size_t Outbox::push(const std::string& event_id, const std::string& body, EventKind kind) {
  std::lock_guard guard(mu_);
  exec("BEGIN IMMEDIATE");
  try {
    const std::size_t removed = make_room(0);
    insert(kind, event_id, body);
    exec("COMMIT");
    size_ = size_ - removed + 1;
    dropped_ += removed;
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
