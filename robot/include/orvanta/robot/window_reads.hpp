#pragma once

// How the system reads a window message's `info`, and the quote markers a
// quoting reply shows.
//
// Two reads exist and the processing code chooses between them on purpose,
// because the choice decides whether a malformed message is skipped or ends
// the pass:
//  - the guarded read takes `info`, or an empty mapping when the message has
//    none; when that is not a mapping there is no lookup and the result is
//    nothing (std::nullopt); otherwise the key's value, with the empty text
//    when the key is missing;
//  - the plain read takes the key's value from `info` directly: JSON null when
//    the key is missing, and an error (AttributeError) when the message has
//    no `info` or its `info` is not a mapping.
// Text tests on a read value (contains, the text itself) raise TypeError when
// the value is not text, as a substring test on nothing or a number would.

#include <optional>
#include <string>
#include <string_view>

#include "orvanta/json.hpp"
#include "orvanta/robot/export.hpp"
#include "orvanta/wxauto.hpp"

namespace orvanta::robot {

// A quoting reply shows its own text, this marker and the quoted text. The
// split form separates the two texts; window text is compared up to the
// shorter comparison form. Both have two spaces after the first two
// characters.
inline constexpr std::string_view kQuoteMarker = "引用  的消息 :";
inline constexpr std::string_view kQuoteMarkerCompare = "引用  的消息";

// The message's `info` when it is present, else an empty mapping (which may
// still be a value that is not a mapping).
ORVANTA_ROBOT_EXPORT Json info_or_empty(const wxauto::WindowMessage& msg);

// The guarded read of `key` (see above).
ORVANTA_ROBOT_EXPORT std::optional<Json> guarded_read(const wxauto::WindowMessage& msg, std::string_view key);

// The plain read of `key` (see above).
ORVANTA_ROBOT_EXPORT Json plain_read(const wxauto::WindowMessage& msg, std::string_view key);

// Whether a read value is text equal to `text`. Nothing, null and non-text
// values are never equal to a text.
ORVANTA_ROBOT_EXPORT bool is_text(const std::optional<Json>& value, std::string_view text);
ORVANTA_ROBOT_EXPORT bool is_text(const Json& value, std::string_view text);

// Whether the read value contains `needle`. Raises TypeError when the value is
// nothing, null or not text.
ORVANTA_ROBOT_EXPORT bool text_contains(const std::optional<Json>& value, std::string_view needle);
ORVANTA_ROBOT_EXPORT bool text_contains(const Json& value, std::string_view needle);

// The read value as text. Raises TypeError when it is nothing, null or not
// text.
ORVANTA_ROBOT_EXPORT std::string text_of(const std::optional<Json>& value);
ORVANTA_ROBOT_EXPORT std::string text_of(const Json& value);

// `text` cut before the first occurrence of `marker` (the whole text when it
// does not occur), with trailing white space removed.
ORVANTA_ROBOT_EXPORT std::string cut_before(std::string_view text, std::string_view marker);

// A quoting reply's shown text split at the quote marker (the one after a
// line feed first, so that a reply whose own text holds the marker splits
// where the client put it): the reply's own text without trailing white
// space, and the quoted text without leading white space, up to a further
// marker. Without a marker: the whole text and nothing quoted.
struct QuoteParts {
  std::string own;
  std::string quoted;
  bool has_marker = false;
};
ORVANTA_ROBOT_EXPORT QuoteParts split_quote(std::string_view content);

// The text a window line of `type` is stored and compared with: a reply's
// own text, and every other line's whole text, trailing white space removed.
// A member's text that happens to hold the quote marker is never cut.
ORVANTA_ROBOT_EXPORT std::string stored_content(std::string_view type, std::string_view content);

// At most `max_chars` characters of `text` (UTF-8), followed by "…" when
// it was longer: what a log line quotes of a chat text.
ORVANTA_ROBOT_EXPORT std::string excerpt(std::string_view text, std::size_t max_chars = 40);

// `text` without trailing, or leading, white space (Python's str.isspace
// characters of ASCII: space, \t, \n, \v, \f, \r, and the separators \x1c to
// \x1f).
ORVANTA_ROBOT_EXPORT std::string rstrip(std::string_view text);
ORVANTA_ROBOT_EXPORT std::string lstrip(std::string_view text);

}  // namespace orvanta::robot
