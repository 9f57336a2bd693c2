// An idle listening process: the listening thread polling a simulated client
// that has nothing new, at the real clock's pace (a poll every 2 seconds).
// Prints the resident memory and the share of one core used over the
// measured window.
//
//   idle_listening_bench [seconds] 2>/dev/null   (default 60)
//
// Everything an idle cycle does is included: its log lines (on standard
// error), the default member watch's printed line, the empty group check.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/sim/sim_client.hpp"
#include "orvanta/sqlite/sqlite_message_db.hpp"
#include "process_usage.hpp"
#include "support/temp_dir.hpp"

int main(int argc, char** argv) {
  using namespace orvanta;
  const double window = argc > 1 ? std::atof(argv[1]) : 60.0;
  testing::TempDir dir;
  config.db.set(sqlite::open_message_db(dir.file("wxChat.db")));
  auto client = sim::make_sim_client();
  client->add_group("G", {{"Alice", std::nullopt}});
  client->bind_platform();
  config.wx.set(client->driver()->MakeWeChat());

  auto listening = conductor::start_listening_thread();
  std::this_thread::sleep_for(std::chrono::seconds(5));  // past start-up
  const double cpu_before = bench::cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  const double cpu = bench::cpu_seconds() - cpu_before;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("idle listening over %.1f s: resident %.2f MB, cpu %.4f %% of a core, listening %s\n", elapsed,
              bench::memory_mb(), 100.0 * cpu / elapsed, listening->running() ? "still running" : "ENDED");
  listening->stop();
  listening->join();
  return listening->error() ? 0 : 1;
}
