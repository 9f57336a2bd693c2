#include "statement_cache.hpp"

#include <cstdint>
#include <limits>

#include "orvanta/errors.hpp"

namespace orvanta::sqlite {

void raise_sqlite_error(sqlite3* db) {
  throw DatabaseError(sqlite3_errmsg(db));
}

StatementCache::~StatementCache() {
  clear();
}

void StatementCache::clear() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  statements_.clear();
}

sqlite3_stmt* StatementCache::get(std::string_view sql) {
  if (auto found = statements_.find(sql); found != statements_.end()) return found->second;
  if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw DatabaseError("statement too long");
  }

  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  const int length = static_cast<int>(sql.size());
  if (sqlite3_prepare_v2(db_, sql.data(), length, &statement, &tail) != SQLITE_OK) raise_sqlite_error(db_);

  // Whatever follows the first statement must be empty too: running only the
  // first of several statements would silently drop the others.
  if (tail != nullptr && tail < sql.data() + sql.size()) {
    sqlite3_stmt* extra = nullptr;
    const int rest = static_cast<int>(sql.data() + sql.size() - tail);
    const int rc = sqlite3_prepare_v2(db_, tail, rest, &extra, nullptr);
    const bool more = rc != SQLITE_OK || extra != nullptr;
    sqlite3_finalize(extra);
    if (more) {
      sqlite3_finalize(statement);
      throw DatabaseError("You can only execute one statement at a time.");
    }
  }

  if (max_entries_ != 0 && statements_.size() >= max_entries_) clear();
  statements_.emplace(std::string(sql), statement);
  return statement;
}

void bind_text(sqlite3_stmt* statement, int index, std::string_view value) {
  const int rc = sqlite3_bind_text64(statement, index, value.data(), value.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (rc != SQLITE_OK) raise_sqlite_error(sqlite3_db_handle(statement));
}

void bind_json(sqlite3_stmt* statement, int index, const Json& value) {
  int rc = SQLITE_OK;
  switch (value.type()) {
    case Json::value_t::null:
      rc = sqlite3_bind_null(statement, index);
      break;
    case Json::value_t::string:
      bind_text(statement, index, value.get_ref<const std::string&>());
      return;
    case Json::value_t::boolean:
      rc = sqlite3_bind_int(statement, index, value.get<bool>() ? 1 : 0);
      break;
    case Json::value_t::number_integer:
      rc = sqlite3_bind_int64(statement, index, value.get<std::int64_t>());
      break;
    case Json::value_t::number_unsigned: {
      const auto number = value.get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw TypeError("integer too large for the message store: " + value.dump());
      }
      rc = sqlite3_bind_int64(statement, index, static_cast<std::int64_t>(number));
      break;
    }
    case Json::value_t::number_float:
      rc = sqlite3_bind_double(statement, index, value.get<double>());
      break;
    default:
      throw TypeError(std::string("the message store takes text, numbers or null, not ") + value.type_name());
  }
  if (rc != SQLITE_OK) raise_sqlite_error(sqlite3_db_handle(statement));
}

void run_to_end(sqlite3* db, sqlite3_stmt* statement) {
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) raise_sqlite_error(db);
}

}  // namespace orvanta::sqlite
