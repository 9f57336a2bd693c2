#pragma once

// The main job of the `orvanta` program: sets up the client, the shared
// state, the server link and the handlers, starts listening and keeps it
// up, and stops on SIGINT/SIGTERM (or, on the built-in demo, once the
// scenario is played out). Returns the process's exit status:
//   0  stopped as asked, or the demo finished
//   1  could not start
//   2  the requested client is not available on this build
//   3  listening kept failing and the host gave up

#include <chrono>

#include "options.hpp"

namespace orvanta::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitStartFailed = 1;
inline constexpr int kExitNoClient = 2;
inline constexpr int kExitGaveUp = 3;

int run_host(const RunOptions& options, std::chrono::steady_clock::time_point process_start);

}  // namespace orvanta::host
