// The `orvanta` program.

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "host_app.hpp"
#include "options.hpp"

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  try {
    auto command = orvanta::host::parse_command_line(argc, argv);
    if (!command.run) return command.exit_code;
    std::error_code ignored;
    command.run->program_dir = std::filesystem::absolute(argv[0], ignored).parent_path().string();
    return orvanta::host::run_host(*command.run, start);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvanta: %s\n", e.what());
    return orvanta::host::kExitStartFailed;
  }
}
