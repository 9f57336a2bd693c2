#include "orvanta/sqlite/sqlite_message_db.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sqlite3.h>

#include "message_queries.hpp"
#include "orvanta/errors.hpp"
#include "statement_cache.hpp"

namespace orvanta::sqlite {
namespace {

// How many distinct raw statements stay prepared at once.
constexpr std::size_t kRawStatementLimit = 128;
// How long a statement waits for another connection's lock on the file.
constexpr int kBusyTimeoutMs = 5000;

bool is_column(std::string_view name) {
  return std::find(kColumns.begin(), kColumns.end(), name) != kColumns.end();
}

bool is_plain_identifier(std::string_view name) {
  if (name.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!letter(name.front())) return false;
  return std::all_of(name.begin() + 1, name.end(), [&](char c) { return letter(c) || digit(c); });
}

// Appends `name` as a quoted SQL identifier.
void append_identifier(std::string& sql, std::string_view name) {
  sql += '"';
  for (char c : name) {
    if (c == '"') sql += '"';
    sql += c;
  }
  sql += '"';
}

// Whether the statement text starts with `keyword` (case-insensitive) after
// leading blanks.
bool starts_with_keyword(std::string_view sql, std::string_view keyword) {
  const auto start = sql.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || sql.size() - start < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    char c = sql[start + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != keyword[i]) return false;
  }
  return true;
}

// Whether a raw statement opens a transaction when none is open: every
// statement that writes does, except those SQLite refuses to run inside one.
bool opens_transaction(sqlite3_stmt* statement, std::string_view sql) {
  if (sqlite3_stmt_readonly(statement) != 0) return false;
  for (std::string_view keyword : {"VACUUM", "ATTACH", "DETACH", "PRAGMA"}) {
    if (starts_with_keyword(sql, keyword)) return false;
  }
  return true;
}

Json column_value(sqlite3_stmt* statement, int index) {
  switch (sqlite3_column_type(statement, index)) {
    case SQLITE_NULL:
      return Json(nullptr);
    case SQLITE_INTEGER:
      if (index == 0) return Json(sqlite3_column_int64(statement, index));
      [[fallthrough]];
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
      const int size = sqlite3_column_bytes(statement, index);
      return Json(std::string(text, static_cast<std::size_t>(size)));
    }
  }
}

// The current row of a query selecting kSelectColumns, as a mapping with the
// row's keys in column order.
Row read_row(sqlite3_stmt* statement) {
  Row row(Json::value_t::object);
  auto& fields = row.get_ref<Json::object_t&>();
  fields.reserve(kColumns.size());
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    fields.emplace_back(std::string(kColumns[i]), column_value(statement, static_cast<int>(i)));
  }
  return row;
}

// The value of `key` in `row`; raises KeyError when it is missing.
const Json& field(const Row& row, std::string_view key) {
  auto found = row.find(key);
  if (found == row.end()) throw KeyError("the message row has no key '" + std::string(key) + "'");
  return *found;
}

void require_object(const Json& value, std::string_view what) {
  if (!value.is_object()) throw TypeError(std::string(what) + " must be a mapping, not " + value.type_name());
}

// The listed types without repeats, in their first order (a repeated type
// would otherwise return its rows twice).
std::vector<std::string_view> distinct(const std::vector<std::string>& types) {
  std::vector<std::string_view> out;
  out.reserve(types.size());
  for (const auto& t : types) {
    if (std::find(out.begin(), out.end(), t) == out.end()) out.emplace_back(t);
  }
  return out;
}

class SqliteMessageDB;

// The lock of one store. The owning thread may take it again; when it lets
// go for the last time, a transaction the raw path left open is rolled back,
// so uncommitted work never becomes part of what the next holder commits.
class SqliteStoreLock final : public StoreLock {
 public:
  explicit SqliteStoreLock(sqlite3* db) : db_(db) {}

  void lock() override {
    if (held_by_this_thread()) {
      ++depth_;
      return;
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
  }

  bool try_lock() override {
    if (held_by_this_thread()) {
      ++depth_;
      return true;
    }
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
    return true;
  }

  void unlock() override {
    if (!held_by_this_thread())
      throw std::runtime_error("the message store's lock is released by a thread that does not hold it");
    if (--depth_ > 0) return;
    if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }

  // Only the owner ever finds its own id here, so a relaxed load suffices.
  bool held_by_this_thread() const override {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

 private:
  sqlite3* db_;
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;  // Touched by the owner only.
};

class SqliteConnection final : public Connection {
 public:
  explicit SqliteConnection(SqliteMessageDB& store) : store_(store) {}
  std::unique_ptr<Cursor> cursor() override;
  void commit() override;
  void rollback() override;

 private:
  SqliteMessageDB& store_;
};

// Closes the connection after everything prepared on it is finalized.
struct ConnectionCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using ConnectionHandle = std::unique_ptr<sqlite3, ConnectionCloser>;

// The store: one connection, used under `lock_` by every operation. The
// statement caches and the scratch text are guarded by `lock_` as well.
class SqliteMessageDB final : public MessageDB, public std::enable_shared_from_this<SqliteMessageDB> {
 public:
  explicit SqliteMessageDB(ConnectionHandle db)
      : db_(std::move(db)),
        lock_(db_.get()),
        statements_(db_.get()),
        raw_statements_(db_.get(), kRawStatementLimit),
        connection_(*this) {
    sql_.reserve(1024);
  }

  void insert_messages(const Row& row) override {
    require_object(row, "the message row");
    std::lock_guard guard(lock_);
    sqlite3_stmt* statement = prepared(kInsertMessage);
    StatementReset reset(statement);
    int index = 1;
    for (std::string_view column : kDataColumns) bind_json(statement, index++, field(row, column));
    run_to_end(db(), statement);
  }

  std::int64_t insert_after_record(const std::string& group_name, std::int64_t target_id, const Row& row) override {
    require_object(row, "the message row");
    std::lock_guard guard(lock_);
    Savepoint savepoint(*this);

    auto target_seq = seq_of_record(group_name, target_id);
    if (!target_seq) {
      throw ValueError("group '" + group_name + "' has no record with id " + std::to_string(target_id));
    }
    const std::int64_t new_id = next_id();
    double seq = static_cast<double>(new_id);
    if (auto next = next_seq(group_name, *target_seq)) {
      seq = *target_seq + (*next - *target_seq) / 2;
      if (!(*target_seq < seq && seq < *next)) {
        renumber(group_name);
        target_seq = seq_of_record(group_name, target_id);
        next = next_seq(group_name, *target_seq);
        seq = *target_seq + (*next - *target_seq) / 2;
      }
    }

    sqlite3_stmt* statement = prepared(kInsertPlaced);
    StatementReset reset(statement);
    const Json empty_text = "";
    const Json not_checked = "false";
    auto value_or = [&](std::string_view key, const Json& fallback) -> const Json& {
      auto found = row.find(key);
      return found == row.end() ? fallback : *found;
    };
    sqlite3_bind_int64(statement, 1, new_id);
    bind_text(statement, 2, group_name);
    int index = 3;
    for (std::size_t i = 1; i < kDataColumns.size(); ++i) {
      const std::string_view column = kDataColumns[i];
      bind_json(statement, index++, value_or(column, column == "have_checked" ? not_checked : empty_text));
    }
    sqlite3_bind_double(statement, index, seq);
    run_to_end(db(), statement);
    savepoint.release();
    return new_id;
  }

  Rows get_latest_messages(int n, const LatestQuery& query) override {
    if (n <= 0 || (query.type && query.type->empty())) return {};
    std::vector<std::string_view> types;
    if (query.type) types = distinct(*query.type);

    std::lock_guard guard(lock_);
    // The text depends only on which filters are given and on the number of
    // types, so a repeated lookup finds its statement by that shape without
    // building and hashing the text again.
    const std::uint64_t shape = (query.msg_id ? 1u : 0u) | (query.img_md5 ? 2u : 0u) | (query.content ? 4u : 0u) |
                                (static_cast<std::uint64_t>(types.size()) << 3);
    sqlite3_stmt*& statement = latest_by_shape_[shape];
    if (statement == nullptr) {
      build_latest_query(sql_, query, types.size());
      statement = prepared(sql_);
    }
    const std::size_t arms = std::max<std::size_t>(types.size(), 1);
    StatementReset reset(statement);
    int index = 1;
    for (std::size_t arm = 0; arm < arms; ++arm) {
      bind_text(statement, index++, query.group_name);
      if (query.msg_id) bind_text(statement, index++, *query.msg_id);
      if (query.img_md5) bind_text(statement, index++, *query.img_md5);
      if (query.content) bind_text(statement, index++, *query.content);
      if (!types.empty()) bind_text(statement, index++, types[arm]);
      sqlite3_bind_int(statement, index++, n);
    }
    if (arms > 1) sqlite3_bind_int(statement, index, n);
    return read_rows(statement);
  }

  Rows get_all_messages(const AllQuery& query) override {
    if (query.type && query.type->empty()) return {};
    const bool by_group = query.group_name && !query.group_name->empty();
    const bool by_checked = query.have_checked && !query.have_checked->empty();
    std::vector<std::string_view> types;
    if (query.type) types = distinct(*query.type);

    std::lock_guard guard(lock_);
    const std::uint64_t shape =
        (by_group ? 1u : 0u) | (by_checked ? 2u : 0u) | (static_cast<std::uint64_t>(types.size()) << 2);
    sqlite3_stmt*& statement = all_by_shape_[shape];
    if (statement == nullptr) {
      build_all_query(sql_, by_group, by_checked, types.size());
      statement = prepared(sql_);
    }
    StatementReset reset(statement);
    int index = 1;
    if (by_group) bind_text(statement, index++, *query.group_name);
    if (by_checked) bind_text(statement, index++, *query.have_checked);
    for (std::string_view type : types) bind_text(statement, index++, type);
    return read_rows(statement);
  }

  void update_message_fields(const std::string& key, const Json& value, const Row& fields) override {
    if (!is_column(key)) throw ValueError("'" + key + "' is not a column of the messages table");
    require_object(fields, "the fields to update");
    for (const auto& entry : fields.items()) {
      if (!is_column(entry.key())) throw ValueError("'" + entry.key() + "' is not a column of the messages table");
      if (entry.key() == "id") throw ValueError("the id of a stored message cannot be changed");
    }
    if (fields.empty()) return;

    std::lock_guard guard(lock_);
    sql_.clear();
    sql_ += "UPDATE messages SET ";
    bool first = true;
    for (const auto& entry : fields.items()) {
      if (!first) sql_ += ", ";
      first = false;
      append_identifier(sql_, entry.key());
      sql_ += " = ?";
    }
    sql_ += " WHERE ";
    append_identifier(sql_, key);
    sql_ += " = ?";

    sqlite3_stmt* statement = prepared(sql_);
    StatementReset reset(statement);
    int index = 1;
    for (const auto& entry : fields.items()) bind_json(statement, index++, entry.value());
    bind_json(statement, index, value);
    run_to_end(db(), statement);
  }

  std::int64_t get_message_count_by_group(const std::string& group_name) override {
    std::lock_guard guard(lock_);
    sqlite3_stmt* statement = prepared(kCountGroup);
    StatementReset reset(statement);
    bind_text(statement, 1, group_name);
    if (sqlite3_step(statement) != SQLITE_ROW) raise_sqlite_error(db());
    return sqlite3_column_int64(statement, 0);
  }

  void insert_group_member(const Row& record) override {
    require_object(record, "the member record");
    const Json& group = field(record, "group_name");
    const Json& member = field(record, "member");
    if (!group.is_string() || !member.is_string()) {
      throw TypeError("the member record holds the group name and the member list as text");
    }
    std::lock_guard guard(lock_);
    sqlite3_stmt* statement = prepared(kUpsertMember);
    StatementReset reset(statement);
    bind_json(statement, 1, group);
    bind_json(statement, 2, member);
    run_to_end(db(), statement);
  }

  std::optional<std::string> get_group_member(const std::string& group_name) override {
    std::lock_guard guard(lock_);
    sqlite3_stmt* statement = prepared(kGetMember);
    StatementReset reset(statement);
    bind_text(statement, 1, group_name);
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) raise_sqlite_error(db());
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
  }

  void drop_table(const std::string& table_name) override {
    if (!is_plain_identifier(table_name)) throw ValueError("'" + table_name + "' is not a plain table name");
    std::lock_guard guard(lock_);
    sql_.clear();
    sql_ += "DROP TABLE ";
    append_identifier(sql_, table_name);
    sqlite3_stmt* statement = raw_statements_.get(sql_);
    StatementReset reset(statement);
    run_to_end(db(), statement);
  }

  StoreLock& lock() override { return lock_; }
  Connection& conn() override { return connection_; }

  // The raw path. Each REQUIRES the caller to hold lock().

  // Runs one statement; gives the rows it changed when it writes.
  std::optional<std::int64_t> execute_raw(std::string_view sql) {
    require_lock();
    sqlite3_stmt* statement = raw_statements_.get(sql);
    if (statement == nullptr) return std::nullopt;
    StatementReset reset(statement);

    const bool begin = sqlite3_get_autocommit(db()) != 0 && opens_transaction(statement, sql);
    if (begin) run_fixed(kBegin);
    const std::int64_t changes_before = sqlite3_total_changes64(db());
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW) rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) {
      DatabaseError error(sqlite3_errmsg(db()));
      sqlite3_reset(statement);
      // The statement that opened the transaction failed: nothing of it may
      // stay open (SQLite may already have rolled back on its own).
      if (begin && sqlite3_get_autocommit(db()) == 0) sqlite3_exec(db(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw error;
    }
    if (sqlite3_stmt_readonly(statement) != 0) return std::nullopt;
    return sqlite3_total_changes64(db()) != changes_before ? sqlite3_changes64(db()) : 0;
  }

  void commit_raw() {
    require_lock();
    if (sqlite3_get_autocommit(db()) == 0) run_fixed(kCommit);
  }

  void rollback_raw() {
    require_lock();
    if (sqlite3_get_autocommit(db()) == 0) run_fixed(kRollback);
  }

  void require_lock() const {
    if (!lock_.held_by_this_thread()) {
      throw DatabaseError("the message store's raw connection is used without holding the store's lock");
    }
  }

 private:
  // Makes the statements of one operation all-or-nothing, whether or not the
  // caller (the raw path) already has a transaction open.
  //
  // Outside a transaction it takes the write lock at once (BEGIN IMMEDIATE).
  // An operation that reads before it writes would otherwise hold a read
  // snapshot when it first writes; when another connection to the file (the
  // host's outbox) has written since, or holds the write lock, SQLite then
  // fails the write at once with "database is locked" instead of waiting
  // out the busy timeout. Inside the raw path's transaction the write lock
  // is already held: a raw transaction only begins with a writing statement.
  class Savepoint {
   public:
    explicit Savepoint(SqliteMessageDB& store) : store_(store), outermost_(sqlite3_get_autocommit(store.db()) != 0) {
      store_.run_fixed(outermost_ ? kBeginImmediate : kSavepoint);
    }
    ~Savepoint() {
      if (released_) return;
      if (outermost_) {
        sqlite3_exec(store_.db(), kRollback.data(), nullptr, nullptr, nullptr);
      } else {
        sqlite3_exec(store_.db(), kRollbackTo.data(), nullptr, nullptr, nullptr);
        sqlite3_exec(store_.db(), kRelease.data(), nullptr, nullptr, nullptr);
      }
    }
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;
    void release() {
      store_.run_fixed(outermost_ ? kCommit : kRelease);
      released_ = true;
    }

   private:
    SqliteMessageDB& store_;
    const bool outermost_;
    bool released_ = false;
  };

  sqlite3* db() const { return db_.get(); }

  sqlite3_stmt* prepared(std::string_view sql) { return statements_.get(sql); }

  void run_fixed(std::string_view sql) {
    sqlite3_stmt* statement = prepared(sql);
    StatementReset reset(statement);
    run_to_end(db(), statement);
  }

  Rows read_rows(sqlite3_stmt* statement) {
    Rows rows;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) rows.push_back(read_row(statement));
    if (rc != SQLITE_DONE) raise_sqlite_error(db());
    return rows;
  }

  std::optional<double> seq_of_record(const std::string& group_name, std::int64_t id) {
    sqlite3_stmt* statement = prepared(kSeqOfRecord);
    StatementReset reset(statement);
    sqlite3_bind_int64(statement, 1, id);
    bind_text(statement, 2, group_name);
    return single_double(statement);
  }

  std::optional<double> next_seq(const std::string& group_name, double seq) {
    sqlite3_stmt* statement = prepared(kNextSeq);
    StatementReset reset(statement);
    bind_text(statement, 1, group_name);
    sqlite3_bind_double(statement, 2, seq);
    return single_double(statement);
  }

  std::optional<double> single_double(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) raise_sqlite_error(db());
    return sqlite3_column_double(statement, 0);
  }

  std::int64_t next_id() {
    sqlite3_stmt* statement = prepared(kNextId);
    StatementReset reset(statement);
    if (sqlite3_step(statement) != SQLITE_ROW) raise_sqlite_error(db());
    return sqlite3_column_int64(statement, 0);
  }

  // Gives the group's rows, in their order, the group's own ids in rising
  // order as places: distinct whole numbers, so there is room between any two
  // neighbours again, and none beyond the largest id.
  void renumber(const std::string& group_name) {
    std::vector<std::int64_t> ids;
    {
      sqlite3_stmt* statement = prepared(kIdsInOrder);
      StatementReset reset(statement);
      bind_text(statement, 1, group_name);
      int rc = SQLITE_ROW;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(statement, 0));
      if (rc != SQLITE_DONE) raise_sqlite_error(db());
    }
    std::vector<std::int64_t> places = ids;
    std::sort(places.begin(), places.end());
    sqlite3_stmt* statement = prepared(kSetSeq);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      StatementReset reset(statement);
      sqlite3_bind_double(statement, 1, static_cast<double>(places[i]));
      sqlite3_bind_int64(statement, 2, ids[i]);
      run_to_end(db(), statement);
    }
  }

  ConnectionHandle db_;
  SqliteStoreLock lock_;
  StatementCache statements_;      // The store's own statements; guarded by lock_.
  StatementCache raw_statements_;  // Statements of the raw path; guarded by lock_.
  std::string sql_;                // Scratch text for built queries; guarded by lock_.
  // Statements of the filtered queries by the shape of their filters; they
  // belong to statements_. Guarded by lock_.
  std::unordered_map<std::uint64_t, sqlite3_stmt*> latest_by_shape_;
  std::unordered_map<std::uint64_t, sqlite3_stmt*> all_by_shape_;
  SqliteConnection connection_;
};

class SqliteCursor final : public Cursor {
 public:
  explicit SqliteCursor(std::shared_ptr<SqliteMessageDB> store) : store_(std::move(store)) {}

  void execute(const std::string& statement) override {
    if (auto changed = store_->execute_raw(statement)) rowcount_ = *changed;
  }

  std::int64_t rowcount() const override { return rowcount_; }

 private:
  std::shared_ptr<SqliteMessageDB> store_;
  std::int64_t rowcount_ = -1;
};

std::unique_ptr<Cursor> SqliteConnection::cursor() {
  store_.require_lock();
  return std::make_unique<SqliteCursor>(store_.shared_from_this());
}

void SqliteConnection::commit() {
  store_.commit_raw();
}

void SqliteConnection::rollback() {
  store_.rollback_raw();
}

[[noreturn]] void raise_open_error(const std::string& path, std::string_view message) {
  throw DatabaseError("cannot open the message store '" + path + "': " + std::string(message));
}

void exec_setup(sqlite3* db, const std::string& path, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    raise_open_error(path, text);
  }
}

}  // namespace

std::shared_ptr<MessageDB> open_message_db(const std::string& path) {
  sqlite3* raw = nullptr;
  // The store serialises every use of its connection with its own lock, so
  // SQLite's per-connection mutex would only be paid for twice.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  ConnectionHandle db(raw);
  if (rc != SQLITE_OK) raise_open_error(path, db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));

  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  // WAL lets readers of other connections go on while this one writes;
  // NORMAL synchronisation in WAL mode keeps the file consistent after a
  // crash and may lose only the last commits on a power failure.
  exec_setup(db.get(), path, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  exec_setup(db.get(), path, "BEGIN");
  try {
    exec_setup(db.get(), path, kSchema);
    exec_setup(db.get(), path, "COMMIT");
  } catch (...) {
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return std::make_shared<SqliteMessageDB>(std::move(db));
}

}  // namespace orvanta::sqlite
