#pragma once

// Message identifiers, time stamps and picture keys. Their exact forms are
// stored and compared across the whole system, so every caller goes through
// these functions.
//
// Thread-safety: every function may be called from any thread.

#include <string>
#include <string_view>

#include "orvanta/robot/export.hpp"

namespace orvanta::robot {

// The next message identifier: the prefix `config.id前缀` (read at every
// call), the last four digits of the current whole-second time and the
// sequence number within that second, zero-padded to at least three digits.
// The sequence restarts at 0 whenever the second differs from the previous
// call's (also when the clock steps back). Identifiers handed out by one
// process within one second are unique, also across threads. Raises
// AttributeError when `config` has no prefix; the sequence number of that
// call is used up all the same.
ORVANTA_ROBOT_EXPORT std::string get_msg_id();

// The current local time as "Y-M-D-H:M:S", each field without leading zeros
// (5 March 2024 at 09:07:03 is "2024-3-5-9:7:3").
ORVANTA_ROBOT_EXPORT std::string get_now();

// Whether `time1_str` lies more than two minutes (strictly more than 120
// seconds) after `time2_str`. Both are read as "%Y-%m-%d-%H:%M:%S" calendar
// date-times without time zone; numeric fields may be zero-padded or not.
// Raises ValueError naming the text when either does not match, has text
// left over, or names an impossible date or time.
ORVANTA_ROBOT_EXPORT bool is_later_by_2_minutes(const std::string& time1_str, const std::string& time2_str);

// The standard Base64 encoding of `bytes` (RFC 4648 alphabet, with padding,
// no line breaks).
ORVANTA_ROBOT_EXPORT std::string base64_encode(std::string_view bytes);

// The image key of `img_bytes`: the MD5 digest of its standard Base64
// encoding, as 32 lowercase hexadecimal characters. Callers pass the Base64
// form of the picture, so a stored key digests the picture encoded twice.
ORVANTA_ROBOT_EXPORT std::string img_key(std::string_view img_bytes);

// The image key of a picture given as the raw bytes of its file:
// img_key(base64_encode(raw_file_bytes)), computed without holding either
// encoding in memory as a whole.
ORVANTA_ROBOT_EXPORT std::string picture_key(std::string_view raw_file_bytes);

}  // namespace orvanta::robot
