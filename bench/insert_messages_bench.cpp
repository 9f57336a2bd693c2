// Storing one message per call: the store's insert_messages beside a bare
// prepared INSERT through SQLite's C API into the same table (same indexes)
// with the same connection settings.

#include <array>
#include <string>

#include <benchmark/benchmark.h>

#include "orvanta/message_db.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "sqlite_bench_support.hpp"

namespace {

using orvanta::bench::bind;
using orvanta::bench::check;

// The 13 values of a typical new text message, in column order.
const std::array<std::string, 13> kValues = {"技术交流群",
                                             "text",
                                             "大家好，今天的会议改到下午三点。",
                                             "张三",
                                             "2026-12-8-16:30:05",
                                             "wxid2930001",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "false",
                                             "",
                                             ""};
const std::array<const char*, 13> kKeys = {"group_name",   "type",     "content",       "sender",    "timestamp",
                                           "msg_id",       "quote_id", "quote_content", "recall_id", "image_url",
                                           "have_checked", "status",   "img_md5"};

void BM_insert_messages(benchmark::State& state) {
  orvanta::bench::TempDir dir;
  auto db = orvanta::sqlite::open_message_db(dir.file("wxChat.db"));
  orvanta::Row row;
  for (std::size_t i = 0; i < kKeys.size(); ++i) row[kKeys[i]] = kValues[i];
  for (auto _ : state) db->insert_messages(row);
  state.SetItemsProcessed(state.iterations());
}

void BM_bare_insert(benchmark::State& state) {
  orvanta::bench::TempDir dir;
  const std::string path = dir.file("wxChat.db");
  orvanta::sqlite::open_message_db(path).reset();  // The same table and indexes.
  sqlite3* db = orvanta::bench::open_bare(path);
  sqlite3_stmt* insert = orvanta::bench::prepare(
      db,
      "INSERT INTO messages (group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, "
      "recall_id, image_url, have_checked, status, img_md5, seq) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
  std::int64_t seq = 0;
  for (auto _ : state) {
    for (int i = 0; i < 13; ++i) bind(insert, i + 1, kValues[static_cast<std::size_t>(i)]);
    sqlite3_bind_double(insert, 14, static_cast<double>(++seq));
    check(db, sqlite3_step(insert));
    sqlite3_reset(insert);
  }
  state.SetItemsProcessed(state.iterations());
  sqlite3_finalize(insert);
  sqlite3_close_v2(db);
}

BENCHMARK(BM_insert_messages)->UseRealTime();
BENCHMARK(BM_bare_insert)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
