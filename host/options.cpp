// The command line, with CLI11.

#include "options.hpp"

#include <iostream>

#include <CLI/CLI.hpp>

namespace orvanta::host {

Command parse_command_line(int argc, char** argv) {
  CLI::App app{
      "orvanta: an unattended assistant for group chats. It watches the groups that a group-management server "
      "names, keeps the message store \"wxChat.db\" in step with the client's windows, reports new messages, "
      "joins and recalls to the server, and carries out the server's replies in the client.",
      "orvanta"};
  app.set_version_flag("--version", std::string("orvanta 0.1.0"));
  app.require_subcommand(0, 1);
  app.footer(
      "Run `orvanta run --help` for the options of the main job.\n"
      "With no options `orvanta run` plays the shipped example scenario on the simulated client, serves the group "
      "list itself on 127.0.0.1, and stops once the scenario is played out.");

  RunOptions o;
  CLI::App* run = app.add_subcommand("run",
                                     "Start the assistant and run until interrupted (or, on the built-in "
                                     "demo, until the scenario is played out).");
  run->footer(
      "With no options it plays the shipped example scenario on the simulated client, serves the group list "
      "itself on 127.0.0.1, and stops once the scenario is played out, printing a summary.\n"
      "\n"
      "The store \"wxChat.db\" (the messages, and the events waiting for the server) is kept in the directory "
      "given with --store, or else beside the conductor library (liborvanta_conductor). Its messages are kept "
      "from one run to the next.\n"
      "\n"
      "Exit status: 0 stopped as asked (or the demo played out); 1 could not start (a bad option, scenario or "
      "file, the store or the server's certificate authorities unusable); 2 the client cannot be driven on this "
      "build; 3 listening failed too often and orvanta gave up.");
  run->option_defaults()->always_capture_default();
  auto* client =
      run->add_option("--client", o.client, "The chat client to drive: sim (the simulated client) or windows")
          ->check(CLI::IsMember({"sim", "windows"}))
          ->group("Client");
  (void)client;
  run->add_option("--scenario", o.scenario,
                  "Scenario file the simulated client plays (default: the shipped examples/scenario.json)")
      ->check(CLI::ExistingFile)
      ->group("Client");
  run->add_option("--speed", o.speed, "Run the clock this many times faster than real time (simulated client only)")
      ->check(CLI::Range(1.0, 1000.0))
      ->group("Client");
  run->add_flag("--keep-running", o.keep_running,
                "Keep listening after the scenario is played out (default: stop and print a summary)")
      ->group("Client");

  auto* group_url = run->add_option("--group-list", o.group_list_url,
                                    "Address of the group-list service; the account name is appended to it "
                                    "(default: served by orvanta itself on 127.0.0.1 from the scenario)")
                        ->group("Server");
  run->add_option("--group-list-file", o.group_list_file,
                  "Serve this JSON file as the group list on 127.0.0.1 instead of the scenario's")
      ->check(CLI::ExistingFile)
      ->excludes(group_url)
      ->group("Server");
  run->add_option("--group-list-refresh", o.group_list_refresh,
                  "Seconds between reads of the group list once one has arrived (until then it is read again with "
                  "a back-off from 1 s up to 60 s)")
      ->check(CLI::Range(1.0, 86400.0))
      ->group("Server");
  run->add_option("--server", o.server_url,
                  "ws:// or wss:// address of the group-management server (default: none; events are only "
                  "printed and logged)")
      ->group("Server");
  run->add_option("--server-ca", o.server_ca_file,
                  "PEM file of certificate authorities to trust for wss:// besides the system's")
      ->check(CLI::ExistingFile)
      ->group("Server");
  run->add_option("--id-prefix", o.id_prefix, "Prefix of every message identifier")->group("Server");
  run->add_option("--outbox-limit", o.outbox_limit,
                  "Events kept for the server while it cannot be reached; beyond that the oldest are dropped")
      ->check(CLI::PositiveNumber)
      ->group("Server");
  run->add_option("--pace-chat", o.pacing.per_chat, "Messages sent to one chat per minute at most")
      ->check(CLI::PositiveNumber)
      ->group("Sending");
  run->add_option("--pace-total", o.pacing.total, "Messages sent in all per minute at most")
      ->check(CLI::PositiveNumber)
      ->group("Sending");

  run->add_option("--log-level", o.log_level, "trace, debug, info, warn, error or off")
      ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "off"}))
      ->group("Running");
  run->add_option("--log-file", o.log_file, "Write the log to this file instead of standard error")->group("Running");
  run->add_option("--store", o.store_dir,
                  "Directory of the store \"wxChat.db\" (default: beside the conductor library)")
      ->check(CLI::ExistingDirectory)
      ->group("Running");
  run->add_option("--http-port", o.http_port,
                  "Serve the status page at /, /healthz and Prometheus /metrics on 127.0.0.1 at this port (0: any "
                  "free port; default: no endpoint)")
      ->check(CLI::Range(0, 65535))
      ->default_str("none")
      ->group("Running");
  run->add_option("--http-bind", o.http_bind,
                  "Address the --http-port endpoint listens on. Anything but 127.0.0.1 (or ::1) shows the status "
                  "page, with the chat's texts, to whoever can reach that address; the log warns of it")
      ->group("Running");
  run->add_option("--status-interval", o.status_interval, "Seconds between status lines")
      ->check(CLI::Range(1.0, 86400.0))
      ->group("Running");
  run->add_option("--max-failures", o.max_failures,
                  "Listening failures within --failure-window seconds after which orvanta gives up")
      ->check(CLI::Range(1, 1000))
      ->group("Running");
  run->add_option("--failure-window", o.failure_window, "Seconds over which listening failures are counted")
      ->check(CLI::Range(1.0, 86400.0))
      ->group("Running");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return Command{std::nullopt, app.exit(e)};
  }
  if (!run->parsed()) {
    std::cout << app.help();
    return Command{std::nullopt, 0};
  }
  return Command{o, 0};
}

}  // namespace orvanta::host
