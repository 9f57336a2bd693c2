// Message identifiers and time stamps.

#include "orvanta/robot/identifiers.hpp"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <span>
#include <string_view>

#include <fmt/format.h>

#include "orvanta/errors.hpp"
#include "orvanta/robot/config.hpp"
#include "orvanta/robot/os.hpp"
#include "orvanta/robot/timing.hpp"

namespace orvanta::robot {
namespace {

// The identifier sequence of this process: the whole second of the last
// identifier and the sequence number handed out in it. Both start at 0 and
// are never persisted, so a new process starts its sequences afresh.
std::mutex id_mutex;
std::int64_t last_ts = 0;     // guarded by id_mutex
std::int64_t id_counter = 0;  // guarded by id_mutex

std::int64_t whole_seconds(timing::SystemTime t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// One field of the time-stamp pattern: the alternatives tried in order, each
// a sequence of character ranges, as the "%Y-%m-%d-%H:%M:%S" directives of
// Python's strptime define them (the day also accepts a blank before a
// single digit).
struct CharRange {
  char lo;
  char hi;
};
using Alternative = std::span<const CharRange>;

constexpr CharRange kDigit{'0', '9'};
constexpr CharRange kYear4[] = {kDigit, kDigit, kDigit, kDigit};
constexpr CharRange kMonth10[] = {{'1', '1'}, {'0', '2'}};
constexpr CharRange kLead0[] = {{'0', '0'}, {'1', '9'}};
constexpr CharRange kOneToNine[] = {{'1', '9'}};
constexpr CharRange kDay30[] = {{'3', '3'}, {'0', '1'}};
constexpr CharRange kDay10[] = {{'1', '2'}, kDigit};
constexpr CharRange kDayBlank[] = {{' ', ' '}, {'1', '9'}};
constexpr CharRange kHour20[] = {{'2', '2'}, {'0', '3'}};
constexpr CharRange kHour00[] = {{'0', '1'}, kDigit};
constexpr CharRange kOneDigit[] = {kDigit};
constexpr CharRange kSixty[] = {{'0', '5'}, kDigit};
constexpr CharRange kSecond60[] = {{'6', '6'}, {'0', '1'}};

template <std::size_t N>
constexpr Alternative alt(const CharRange (&ranges)[N]) {
  return Alternative(ranges, N);
}

struct Field {
  Alternative alternatives[5];
  std::size_t count;
  char separator;  // the literal after the field, '\0' for the last one
};

constexpr Field kTimeStampFields[] = {
    {{alt(kYear4)}, 1, '-'},
    {{alt(kMonth10), alt(kLead0), alt(kOneToNine)}, 3, '-'},
    {{alt(kDay30), alt(kDay10), alt(kLead0), alt(kOneToNine), alt(kDayBlank)}, 5, '-'},
    {{alt(kHour20), alt(kHour00), alt(kOneDigit)}, 3, ':'},
    {{alt(kSixty), alt(kOneDigit)}, 2, ':'},
    {{alt(kSecond60), alt(kSixty), alt(kOneDigit)}, 3, '\0'},
};

bool matches_at(std::string_view text, std::size_t pos, Alternative a) {
  if (text.size() - pos < a.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (text[pos + k] < a[k].lo || text[pos + k] > a[k].hi) return false;
  return true;
}

int field_value(std::string_view digits) {
  int v = 0;
  for (char c : digits)
    if (c != ' ') v = v * 10 + (c - '0');
  return v;
}

[[noreturn]] void bad_time_stamp(const std::string& text, const char* why) {
  throw ValueError(std::string(why) + " in time data '" + text + "'");
}

// Reads a time stamp as whole seconds of a naive calendar. Raises ValueError
// when the text does not match the pattern as a whole or names an impossible
// date or time. Every field but the last is followed by a literal that is not
// a digit, so the first alternative followed by that literal is the only one
// that can lead to a match; the last field takes its first matching
// alternative, and text left after it is a mismatch.
std::int64_t time_stamp_seconds(const std::string& text) {
  int values[6] = {};
  std::size_t pos = 0;
  bool matched = true;
  for (std::size_t f = 0; f < std::size(kTimeStampFields) && matched; ++f) {
    const Field& field = kTimeStampFields[f];
    matched = false;
    for (std::size_t a = 0; a < field.count && !matched; ++a) {
      const Alternative candidate = field.alternatives[a];
      if (!matches_at(text, pos, candidate)) continue;
      const std::size_t end = pos + candidate.size();
      if (field.separator != '\0' && (end >= text.size() || text[end] != field.separator)) continue;
      values[f] = field_value(std::string_view(text).substr(pos, candidate.size()));
      pos = end + (field.separator != '\0' ? 1 : 0);
      matched = true;
    }
  }
  if (!matched || pos != text.size())
    throw ValueError("time data '" + text + "' does not match format '%Y-%m-%d-%H:%M:%S'");

  const auto [year, month, day, hour, minute, second] = values;
  if (year < 1) bad_time_stamp(text, "year is out of range");
  if (second > 59) bad_time_stamp(text, "second must be in 0..59");
  const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) bad_time_stamp(text, "day is out of range for month");
  const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

std::string get_msg_id() {
  std::lock_guard guard(id_mutex);
  const std::int64_t now = whole_seconds(timing::now());
  if (now != last_ts) {
    last_ts = now;
    id_counter = 0;
  } else {
    ++id_counter;
  }
  // The prefix is read after the sequence number is taken: a missing prefix
  // uses the number up.
  const std::string prefix = config.id前缀.get();
  const std::string seconds = std::to_string(now);
  const std::string_view tail =
      seconds.size() > 4 ? std::string_view(seconds).substr(seconds.size() - 4) : std::string_view(seconds);
  return fmt::format("{}{}{:03d}", prefix, tail, id_counter);
}

std::string get_now() {
  const std::time_t t = std::chrono::system_clock::to_time_t(timing::now());
  const std::tm local = os::local_time(t);
  return fmt::format("{}-{}-{}-{}:{}:{}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
}

bool is_later_by_2_minutes(const std::string& time1_str, const std::string& time2_str) {
  const std::int64_t first = time_stamp_seconds(time1_str);
  const std::int64_t second = time_stamp_seconds(time2_str);
  return first > second + 120;
}

}  // namespace orvanta::robot
