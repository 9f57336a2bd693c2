#pragma once

// The command line of the `orvanta` program.

#include <optional>
#include <string>
#include <vector>

#include "pacer.hpp"

namespace orvanta::host {

struct RunOptions {
  // Directory of the program file (to find the installed example scenario).
  std::string program_dir = ".";
  std::string client = "sim";
  std::string scenario;  // empty: the shipped example
  std::optional<std::string> group_list_url;
  std::optional<std::string> group_list_file;
  std::optional<std::string> server_url;
  std::optional<std::string> server_ca_file;
  std::string id_prefix = "wx";
  std::string log_level = "info";
  std::optional<std::string> log_file;
  // Directory of the store file "wxChat.db" (default: beside the conductor
  // library).
  std::optional<std::string> store_dir;
  bool keep_running = false;
  double speed = 1.0;
  int http_port = -1;  // -1: no endpoint; 0: any free port
  // The address of the endpoint; anything but a loopback address is logged
  // as a warning.
  std::string http_bind = "127.0.0.1";
  PacingLimits pacing;
  std::size_t outbox_limit = 10000;
  double status_interval = 60.0;
  // Seconds between reads of the group list once one has arrived.
  double group_list_refresh = 300.0;
  int max_failures = 10;
  double failure_window = 600.0;
  double quiet_period = 120.0;
};

// What the command line asks for: run, or exit at once with `exit_code`
// after the text (help, version, a usage error) has been printed.
struct Command {
  std::optional<RunOptions> run;
  int exit_code = 0;
};

// Parses argv. Help and errors are printed here (help on standard output,
// errors on standard error).
Command parse_command_line(int argc, char** argv);

}  // namespace orvanta::host
