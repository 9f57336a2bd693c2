// A minimal host: plays a scenario on the simulated client (which also
// serves the scenario's group list), prints every new group message, answers
// each with a text, and stops after `seconds` of clock time.
//
//   minimal_host <scenario.json> [seconds]

#include <cstdio>
#include <exception>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "orvanta/conductor/conductor.hpp"
#include "orvanta/robot/async_timing.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/running_loop.hpp"
#include "orvanta/robot/task_bridge.hpp"
#include "orvanta/sim/group_list_server.hpp"
#include "orvanta/sim/sim_client.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: minimal_host <scenario.json> [seconds]\n");
    return 2;
  }
  auto client = orvanta::sim::make_sim_client();
  client->load_scenario_file(argv[1]);
  client->bind_platform();
  orvanta::sim::GroupListServer groups(client);
  orvanta::config.get_listening_group_url.set(groups.url());

  boost::asio::io_context loop;
  orvanta::RunningLoopScope scope(loop);
  orvanta::conductor::init();
  orvanta::conductor::set_deal_group_msg([](orvanta::Message m) -> boost::asio::awaitable<void> {
    std::printf("%s | %s: %s\n", m.position.c_str(), m.sender.value_or("?").c_str(), m.content.c_str());
    orvanta::robot::wx_send_msg("收到: " + m.content, m.position);
    co_return;
  });
  orvanta::conductor::start_listening_msg();

  const double seconds = argc > 2 ? std::stod(argv[2]) : 30.0;
  boost::asio::co_spawn(
      loop,
      [&]() -> boost::asio::awaitable<void> {
        co_await orvanta::timing::async_sleep(seconds);
        orvanta::conductor::current_listening_thread()->stop();
        loop.stop();
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  loop.run();
  std::printf("sent %zu message(s)\n", client->sent().size());
  return 0;
}
