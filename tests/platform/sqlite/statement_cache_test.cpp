// The prepared-statement cache and the binding helpers under the store.

#include "statement_cache.hpp"

#include <string>

#include <gtest/gtest.h>

#include "orvanta/errors.hpp"

namespace orvanta::sqlite {
namespace {

class StatementCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TABLE t (v)", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  void TearDown() override { sqlite3_close_v2(db_); }

  // The type and text of the one value stored in t.
  std::pair<int, std::string> stored() {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db_, "SELECT typeof(v), v FROM t", -1, &s, nullptr);
    EXPECT_EQ(sqlite3_step(s), SQLITE_ROW);
    std::pair<int, std::string> out{sqlite3_column_type(s, 1),
                                    reinterpret_cast<const char*>(sqlite3_column_text(s, 0))};
    sqlite3_finalize(s);
    return out;
  }

  sqlite3* db_ = nullptr;
};

TEST_F(StatementCacheTest, TheSameTextGivesTheSamePreparedStatement) {
  StatementCache cache(db_);
  sqlite3_stmt* first = cache.get(std::string("SELECT v FROM t"));
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(cache.get("SELECT v FROM t"), first);
  EXPECT_NE(cache.get("SELECT v FROM t WHERE v = 1"), first);
}

TEST_F(StatementCacheTest, OnlyOneStatementPerText) {
  StatementCache cache(db_);
  EXPECT_THROW(cache.get("DELETE FROM t; DELETE FROM t"), DatabaseError);
  EXPECT_THROW(cache.get("DELETE FROM t; nonsense"), DatabaseError);
  EXPECT_THROW(cache.get("SELEC 1"), DatabaseError);
  EXPECT_NE(cache.get("DELETE FROM t; -- done"), nullptr);
  EXPECT_EQ(cache.get("  -- nothing here"), nullptr);
}

TEST_F(StatementCacheTest, ABoundedCacheStartsOverWhenFull) {
  StatementCache cache(db_, 2);
  sqlite3_stmt* a = cache.get("SELECT 1");
  cache.get("SELECT 2");
  EXPECT_EQ(cache.get("SELECT 1"), a);
  cache.get("SELECT 3");  // Full: everything is dropped first.
  sqlite3_stmt* again = cache.get("SELECT 1");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(sqlite3_step(again), SQLITE_ROW);
  sqlite3_reset(again);
}

TEST_F(StatementCacheTest, JsonScalarsBindAsTheirSqlKinds) {
  StatementCache cache(db_);
  auto store = [&](const Json& value) {
    sqlite3_exec(db_, "DELETE FROM t", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = cache.get("INSERT INTO t VALUES (?1)");
    StatementReset reset(insert);
    bind_json(insert, 1, value);
    run_to_end(db_, insert);
    return stored();
  };
  EXPECT_EQ(store("text"), std::make_pair(SQLITE_TEXT, std::string("text")));
  EXPECT_EQ(store(42), std::make_pair(SQLITE_INTEGER, std::string("integer")));
  EXPECT_EQ(store(-42), std::make_pair(SQLITE_INTEGER, std::string("integer")));
  EXPECT_EQ(store(1.5), std::make_pair(SQLITE_FLOAT, std::string("real")));
  EXPECT_EQ(store(true), std::make_pair(SQLITE_INTEGER, std::string("integer")));
  EXPECT_EQ(store(nullptr), std::make_pair(SQLITE_NULL, std::string("null")));

  sqlite3_stmt* insert = cache.get("INSERT INTO t VALUES (?1)");
  StatementReset reset(insert);
  EXPECT_THROW(bind_json(insert, 1, Json::array({1})), TypeError);
  EXPECT_THROW(bind_json(insert, 1, Json::object()), TypeError);
  EXPECT_THROW(bind_json(insert, 1, Json(std::uint64_t{1} << 63)), TypeError);
}

TEST_F(StatementCacheTest, AFailedStepRaisesSqlitesMessage) {
  StatementCache cache(db_);
  sqlite3_exec(db_, "CREATE TABLE u (v UNIQUE)", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = cache.get("INSERT INTO u VALUES (1)");
  {
    StatementReset reset(insert);
    run_to_end(db_, insert);
  }
  StatementReset reset(insert);
  try {
    run_to_end(db_, insert);
    FAIL() << "a duplicate was stored";
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "UNIQUE constraint failed: u.v");
  }
}

}  // namespace
}  // namespace orvanta::sqlite
