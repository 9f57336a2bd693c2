#pragma once

// What the store benchmarks share: a temporary directory for the store file,
// and the connection settings the store uses, applied to the bare baseline.

#include <stdexcept>
#include <string>

#include <sqlite3.h>

#include "support/temp_dir.hpp"

namespace orvanta::bench {

using orvanta::testing::TempDir;

inline void check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

// Opens a bare connection with the store's settings: WAL, NORMAL
// synchronisation, a busy timeout, no per-connection mutex.
inline sqlite3* open_bare(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    throw std::runtime_error("cannot open " + path);
  }
  sqlite3_busy_timeout(db, 5000);
  check(db, sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr));
  return db;
}

inline sqlite3_stmt* prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  check(db, sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr));
  return statement;
}

inline void bind(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

}  // namespace orvanta::bench
