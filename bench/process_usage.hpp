#pragma once

// What the process-level benchmarks read of their own process: CPU time
// used so far and resident memory.

#include <fstream>
#include <string>

#include <sys/resource.h>

namespace orvanta::bench {

// User and system CPU time of the whole process so far, in seconds.
inline double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The resident memory now ("VmRSS") or at its peak ("VmHWM"), in MB; -1
// when the field is not there.
inline double memory_mb(const std::string& field = "VmRSS") {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  return -1;
}

}  // namespace orvanta::bench
