// Looking up the newest message of a group by its message identifier in a
// store of a million rows over 50 groups: the store's get_latest_messages
// beside a bare prepared SELECT through SQLite's C API using the same index,
// on a connection with the same settings. The file is built once per run,
// outside the timed loops.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "orvanta/message_db.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "sqlite_bench_support.hpp"

namespace {

using orvanta::bench::bind;
using orvanta::bench::check;

constexpr int kRows = 1'000'000;
constexpr int kGroups = 50;
constexpr int kLookups = 4096;

std::string group_of(int i) {
  return "群聊 " + std::to_string(i % kGroups);
}
std::string msg_id_of(int i) {
  return "wxid" + std::to_string(1'000'000 + i);
}

// Fills the store file with kRows rows in one transaction of bare inserts.
void build_store(const std::string& path) {
  orvanta::sqlite::open_message_db(path).reset();  // The store's table and indexes.
  sqlite3* db = orvanta::bench::open_bare(path);
  check(db, sqlite3_exec(db, "PRAGMA cache_size=-262144; BEGIN", nullptr, nullptr, nullptr));
  sqlite3_stmt* insert = orvanta::bench::prepare(
      db,
      "INSERT INTO messages (id, group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, "
      "recall_id, image_url, have_checked, status, img_md5, seq) "
      "VALUES (?1, ?2, ?3, ?4, ?5, '2026-12-8-16:30:05', ?6, '', '', '', '', 'true', '200', ?7, ?1)");
  const char* types[] = {"text", "text", "text", "image", "other", "base", "self"};
  for (int i = 1; i <= kRows; ++i) {
    const std::string group = group_of(i);
    const std::string type = types[i % 7];
    const std::string content = "第 " + std::to_string(i) + " 条消息的内容";
    const std::string sender = "成员 " + std::to_string(i % 300);
    const std::string msg_id = msg_id_of(i);
    const std::string md5 = type == "image" ? std::to_string(i) + "0123456789abcdef0123456789ab" : "";
    sqlite3_bind_int64(insert, 1, i);
    bind(insert, 2, group);
    bind(insert, 3, type);
    bind(insert, 4, content);
    bind(insert, 5, sender);
    bind(insert, 6, msg_id);
    bind(insert, 7, md5);
    check(db, sqlite3_step(insert));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(db, sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr));
  sqlite3_close_v2(db);
}

// Row numbers to look up, the same for both benchmarks.
std::vector<int> lookup_rows() {
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> row(1, kRows);
  std::vector<int> rows(kLookups);
  for (auto& r : rows) r = row(random);
  return rows;
}

void BM_get_latest_messages(benchmark::State& state, const std::string& path) {
  auto db = orvanta::sqlite::open_message_db(path);
  std::vector<orvanta::LatestQuery> queries;
  for (int i : lookup_rows()) queries.push_back({.group_name = group_of(i), .msg_id = msg_id_of(i)});
  std::size_t next = 0;
  for (auto _ : state) {
    auto rows = db->get_latest_messages(1, queries[next++ % queries.size()]);
    benchmark::DoNotOptimize(rows);
  }
}

void BM_bare_select(benchmark::State& state, const std::string& path) {
  sqlite3* db = orvanta::bench::open_bare(path);
  // The text the store runs for this lookup, so both use the same index.
  const std::string sql =
      "SELECT id, group_name, type, content, sender, timestamp, msg_id, quote_id, quote_content, recall_id, "
      "image_url, have_checked, status, img_md5, seq FROM messages WHERE group_name = ? AND msg_id = ? "
      "ORDER BY seq DESC LIMIT ?";
  sqlite3_stmt* select = orvanta::bench::prepare(db, sql);
  std::vector<std::pair<std::string, std::string>> keys;
  for (int i : lookup_rows()) keys.emplace_back(group_of(i), msg_id_of(i));
  std::size_t next = 0;
  for (auto _ : state) {
    const auto& key = keys[next++ % keys.size()];
    bind(select, 1, key.first);
    bind(select, 2, key.second);
    sqlite3_bind_int(select, 3, 1);
    std::int64_t sink = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
      sink += sqlite3_column_int64(select, 0);
      for (int c = 1; c < 14; ++c) {
        benchmark::DoNotOptimize(sqlite3_column_text(select, c));
        sink += sqlite3_column_bytes(select, c);
      }
    }
    sqlite3_reset(select);
    benchmark::DoNotOptimize(sink);
  }
  sqlite3_finalize(select);
  sqlite3_close_v2(db);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  orvanta::bench::TempDir dir;
  const std::string path = dir.file("wxChat.db");
  build_store(path);
  benchmark::RegisterBenchmark("BM_get_latest_messages", BM_get_latest_messages, path)->UseRealTime();
  benchmark::RegisterBenchmark("BM_bare_select", BM_bare_select, path)->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
