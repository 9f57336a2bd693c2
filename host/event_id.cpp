// ULID text: 130 bits in 26 base32 digits, the top two bits zero.

#include "event_id.hpp"

#include <algorithm>
#include <chrono>

namespace orvanta::host {

namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::int64_t kMaxMs = (std::int64_t{1} << 48) - 1;

int digit_value(char c) {
  for (int i = 0; i < 32; ++i)
    if (kDigits[i] == c) return i;
  return -1;
}

}  // namespace

bool is_event_id(const std::string& text) {
  if (text.size() != 26 || digit_value(text[0]) < 0 || digit_value(text[0]) > 7) return false;
  for (char c : text)
    if (digit_value(c) < 0) return false;
  return true;
}

EventIdGenerator::EventIdGenerator(std::optional<std::string> last, std::uint64_t seed) : random_(seed) {
  if (!last || !is_event_id(*last)) return;
  // 10 digits of time (50 bits, top two zero), then 16 digits: the 80 bits.
  std::int64_t ms = 0;
  for (int i = 0; i < 10; ++i) ms = ms * 32 + digit_value((*last)[i]);
  std::uint64_t high = 0, low = 0;
  for (int i = 10; i < 26; ++i) {
    const auto d = static_cast<std::uint64_t>(digit_value((*last)[i]));
    high = ((high << 5) | (low >> 59)) & 0xffff;
    low = (low << 5) | d;
  }
  last_ms_ = ms;
  high_ = high;
  low_ = low;
}

std::string EventIdGenerator::next(std::int64_t now_ms) {
  now_ms = std::min(std::max<std::int64_t>(now_ms, 0), kMaxMs);
  if (now_ms > last_ms_) {
    last_ms_ = now_ms;
    // The top bit stays clear, so that counting within one millisecond
    // cannot run out.
    high_ = random_() & 0x7fff;
    low_ = random_();
  } else if (++low_ == 0 && ++high_ > 0xffff) {
    // 2^79 identifiers within one millisecond: take the next one.
    ++last_ms_;
    high_ = 0;
  }
  std::string out(26, '0');
  std::uint64_t ms = static_cast<std::uint64_t>(last_ms_);
  for (int i = 9; i >= 0; --i, ms >>= 5) out[static_cast<std::size_t>(i)] = kDigits[ms & 31];
  std::uint64_t high = high_, low = low_;
  for (int i = 25; i >= 10; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[low & 31];
    low = (low >> 5) | ((high & 31) << 59);
    high >>= 5;
  }
  return out;
}

std::string EventIdGenerator::next() {
  return next(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                  .count());
}

}  // namespace orvanta::host
