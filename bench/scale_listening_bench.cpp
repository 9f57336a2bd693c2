// Listening at scale: many listened groups over a large store, one new
// message posted in each at the same moment, the listening thread running as
// in production (a poll, the poll's chat, an overdue group, a 2-second
// pause). Prints how long it takes until every message is reported, the
// process's CPU time per group, and its resident memory.
//
//   scale_listening_bench [groups] [rows] [clock scale] 2>/dev/null
//                                   (defaults 500, 1000000, 200)
//
// The clock runs `clock scale` times faster than real time, so the pauses
// take little real time while the work takes what it takes. The figure "at
// real speed" is the work's real time plus the pauses at their full length:
// the time a production process would take. CPU time includes the
// simulated client, which runs in the same process.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/handlers.hpp"
#include "orvanta/robot/history_sync.hpp"
#include "orvanta/robot/timing.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "process_usage.hpp"
#include "sqlite_bench_support.hpp"

namespace {

std::string group_name(int g) {
  return "群" + std::to_string(g);
}

std::string old_text(int g, int i) {
  return "旧消息 " + std::to_string(g) + "-" + std::to_string(i);
}

// Writes `rows` checked rows spread over the groups in one transaction, the
// newest of each group last, as a long-running store holds them.
void fill_store(const std::string& path, int groups, int rows) {
  orvanta::sqlite::open_message_db(path).reset();  // The store's own table and indexes.
  sqlite3* db = orvanta::bench::open_bare(path);
  orvanta::bench::check(db, sqlite3_exec(db, "PRAGMA cache_size=-262144; BEGIN", nullptr, nullptr, nullptr));
  sqlite3_stmt* insert = orvanta::bench::prepare(
      db,
      "INSERT INTO messages (group_name, type, content, sender, timestamp, msg_id, have_checked, status, seq) "
      "VALUES (?, 'text', ?, 'Alice', '2026-12-8-16:30:05', ?, 'true', '200', ?)");
  const int per_group = rows / groups;
  std::int64_t seq = 0;
  for (int i = 0; i < per_group; ++i) {
    for (int g = 0; g < groups; ++g) {
      const std::string name = group_name(g), text = old_text(g, i), msg_id = "wx" + std::to_string(seq + 1);
      orvanta::bench::bind(insert, 1, name);
      orvanta::bench::bind(insert, 2, text);
      orvanta::bench::bind(insert, 3, msg_id);
      sqlite3_bind_double(insert, 4, static_cast<double>(++seq));
      orvanta::bench::check(db, sqlite3_step(insert));
      sqlite3_reset(insert);
    }
  }
  sqlite3_finalize(insert);
  orvanta::bench::check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvanta;
  const int groups = argc > 1 ? std::atoi(argv[1]) : 500;
  const int rows = argc > 2 ? std::atoi(argv[2]) : 1000000;
  const double clock_scale = argc > 3 ? std::atof(argv[3]) : 200.0;
  if (groups < 1 || rows < groups || clock_scale < 1) {
    std::fprintf(stderr, "usage: scale_listening_bench [groups >= 1] [rows >= groups] [clock scale >= 1]\n");
    return 2;
  }
  testing::TempDir dir;
  const std::string path = dir.file("wxChat.db");
  const auto fill_start = std::chrono::steady_clock::now();
  // Written by a child process, so that the writing's memory is not counted.
  if (const pid_t child = fork(); child == 0) {
    fill_store(path, groups, rows);
    _exit(0);
  } else if (int status = 0; child < 0 || waitpid(child, &status, 0) != child || status != 0) {
    std::fprintf(stderr, "could not write the store\n");
    return 1;
  }
  std::printf("store of %d rows over %d groups written in %.1f s\n", rows, groups,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - fill_start).count());

  config.db.set(sqlite::open_message_db(path));
  sim::SimOptions options;
  options.nickname = "群管助手";
  auto client = sim::make_sim_client(options);
  std::vector<std::string> names;
  const int per_group = rows / groups;
  for (int g = 0; g < groups; ++g) {
    names.push_back(group_name(g));
    client->add_group(names.back(), {{"Alice", "A001"}, {"Bob", "B002"}});
    // The window shows the newest stored lines.
    for (int i = per_group - 3; i < per_group; ++i) client->post_text(names.back(), "Alice", old_text(g, i));
  }
  client->bind_platform();
  config.wx.set(client->driver()->MakeWeChat());
  config.my_wxName.set(options.nickname);
  config.groupName_list.set(names);

  std::atomic<int> reported{0}, polls{0};
  client->set_call_hook([&polls](const std::string& op, int) {
    if (op == "GetNextNewMessage") polls.fetch_add(1);
  });
  robot::deal_group_msg = [&reported](Message) -> boost::asio::awaitable<void> {
    reported.fetch_add(1);
    co_return;
  };

  timing::set_scale(clock_scale);
  // The store holds every group: synchronising stores nothing and marks
  // each group as one whose newer lines are new.
  const auto sync_start = std::chrono::steady_clock::now();
  for (const auto& name : names) robot::getHistoricalNews(name);
  std::printf("history of %d groups checked in %.1f s (real)\n", groups,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - sync_start).count());

  auto listening = conductor::start_listening_thread();
  // Past the first cycles, then one message in every group at once.
  std::this_thread::sleep_for(std::chrono::duration<double>(6.0 / clock_scale + 0.2));
  const int polls_before = polls.load();
  const double resident_before = bench::memory_mb("VmRSS");
  const double cpu_before = bench::cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  for (const auto& name : names) client->post_text(name, "Bob", "新消息 " + name);
  while (reported.load() < groups && listening->running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = bench::cpu_seconds() - cpu_before;
  const int cycles = polls.load() - polls_before;

  // Each cycle ends with one 2-second pause: the pauses' share of the clock.
  const double pauses = 2.0 * cycles;
  const double work = real - pauses / clock_scale;
  std::printf("%d of %d groups reported; %d polls\n", reported.load(), groups, cycles);
  std::printf("until all reported: %.0f s at real speed (%.0f s of pauses + %.1f s of work)\n", pauses + work, pauses,
              work);
  std::printf("cpu %.2f s in all, %.2f ms per group\n", cpu, 1000.0 * cpu / groups);
  std::printf("resident memory %.1f MB before the messages, %.1f MB after, %.1f MB at its peak\n", resident_before,
              bench::memory_mb("VmRSS"), bench::memory_mb("VmHWM"));
  listening->stop();
  listening->join();
  timing::reset();
  return reported.load() == groups ? 0 : 1;
}
