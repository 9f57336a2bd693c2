// The daily clean-up of sent records in a store of a million rows: the
// robot's cleanup_sent_messages_hard (the store's lock, the raw connection's
// transaction and commit) beside a bare prepared DELETE through SQLite's C API
// using the same partial index, on a connection with the same settings, and
// beside the same bare DELETE told not to use an index, which is what every
// clean-up cost before the store kept one.
//
// Each iteration first stores kSentPerRun sent rows (outside the timed part),
// so every clean-up deletes that many rows from a table of kRows other rows.

#include <string>

#include <benchmark/benchmark.h>

#include "orvanta/robot/config.hpp"
#include "orvanta/robot/store_operations.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "sqlite_bench_support.hpp"

namespace {

using orvanta::bench::bind;
using orvanta::bench::check;

constexpr int kRows = 1'000'000;
constexpr int kGroups = 50;
constexpr int kSentPerRun = 1'000;

constexpr const char* kInsert =
    "INSERT INTO messages (group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, "
    "recall_id, image_url, have_checked, status, img_md5) "
    "VALUES (?1, 'text', ?2, 'me', '2026-12-8-16:30:05', ?3, '', '', '', '', 'true', ?4, '')";

// Stores `count` rows of status `status` in one transaction of bare inserts.
void insert_rows(sqlite3* db, int count, const std::string& status, int first) {
  check(db, sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr));
  sqlite3_stmt* insert = orvanta::bench::prepare(db, kInsert);
  for (int i = first; i < first + count; ++i) {
    const std::string group = "群聊 " + std::to_string(i % kGroups);
    const std::string content = "第 " + std::to_string(i) + " 条消息的内容";
    const std::string msg_id = "wxid" + std::to_string(1'000'000 + i);
    bind(insert, 1, group);
    bind(insert, 2, content);
    bind(insert, 3, msg_id);
    bind(insert, 4, status);
    check(db, sqlite3_step(insert));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
}

// The store's table and indexes, with kRows rows that the clean-up keeps.
void build_store(const std::string& path) {
  orvanta::sqlite::open_message_db(path).reset();
  sqlite3* db = orvanta::bench::open_bare(path);
  check(db, sqlite3_exec(db, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr));
  insert_rows(db, kRows, "200", 1);
  check(db, sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr));
  sqlite3_close_v2(db);
}

// Runs `cleanup` once per iteration after storing the sent rows it deletes.
template <class Cleanup>
void run(benchmark::State& state, const std::string& path, Cleanup cleanup) {
  sqlite3* writer = orvanta::bench::open_bare(path);
  int next = kRows + 1;
  for (auto _ : state) {
    state.PauseTiming();
    insert_rows(writer, kSentPerRun, "发送成功", next);
    next += kSentPerRun;
    state.ResumeTiming();
    cleanup();
  }
  sqlite3_close_v2(writer);
  state.SetItemsProcessed(state.iterations() * kSentPerRun);
}

void BM_cleanup_sent_messages_hard(benchmark::State& state, const std::string& path) {
  orvanta::config.db.set(orvanta::sqlite::open_message_db(path));
  run(state, path, [] { orvanta::robot::cleanup_sent_messages_hard(); });
  orvanta::config.db.reset();
}

void bare_delete(benchmark::State& state, const std::string& path, const std::string& sql) {
  sqlite3* db = orvanta::bench::open_bare(path);
  sqlite3_stmt* remove = orvanta::bench::prepare(db, sql);
  run(state, path, [&] {
    check(db, sqlite3_step(remove));
    sqlite3_reset(remove);
    if (sqlite3_changes(db) != kSentPerRun) state.SkipWithError("the delete missed rows");
  });
  sqlite3_finalize(remove);
  sqlite3_close_v2(db);
}

void BM_bare_indexed_delete(benchmark::State& state, const std::string& path) {
  bare_delete(state, path, std::string(orvanta::robot::kDeleteSentMessages));
}

void BM_bare_full_scan_delete(benchmark::State& state, const std::string& path) {
  bare_delete(state, path, "DELETE FROM messages NOT INDEXED WHERE status = '发送成功'");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  orvanta::bench::TempDir dir;
  const std::string path = dir.file("wxChat.db");
  build_store(path);
  benchmark::RegisterBenchmark("BM_cleanup_sent_messages_hard", BM_cleanup_sent_messages_hard, path)->UseRealTime();
  benchmark::RegisterBenchmark("BM_bare_indexed_delete", BM_bare_indexed_delete, path)->UseRealTime();
  benchmark::RegisterBenchmark("BM_bare_full_scan_delete", BM_bare_full_scan_delete, path)->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
