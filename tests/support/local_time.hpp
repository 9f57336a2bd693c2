#pragma once

// A wall-clock time given by local calendar fields, for pinning the timing
// facility's clock in tests.

#include <chrono>
#include <ctime>

#include "orvanta/robot/timing.hpp"

namespace orvanta::testing {

inline timing::SystemTime local_time(int year, int month, int day, int hour, int minute, int second, int micros = 0) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&fields)) + std::chrono::microseconds(micros);
}

}  // namespace orvanta::testing
