// The guarded and plain reads of a window message's info, and the text tests
// on what they give.

#include "orvanta/robot/window_reads.hpp"

#include <cstdint>

#include "orvanta/errors.hpp"

namespace orvanta::robot {
namespace {

std::string type_name(const Json& value) {
  if (value.is_null()) return "NoneType";
  if (value.is_string()) return "str";
  if (value.is_boolean()) return "bool";
  if (value.is_number_integer()) return "int";
  if (value.is_number_float()) return "float";
  if (value.is_array()) return "list";
  if (value.is_object()) return "dict";
  return "bytes";
}

const std::string& require_text(const std::optional<Json>& value, const char* what) {
  if (!value) throw TypeError(std::string(what) + ": the value is None, not text");
  if (!value->is_string()) throw TypeError(std::string(what) + ": the value is " + type_name(*value) + ", not text");
  return value->get_ref<const std::string&>();
}

// The length of the white-space character at the end of `text`, or 0. The
// characters are those Python's str.isspace accepts.
std::size_t trailing_space_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto last = static_cast<unsigned char>(text.back());
  if (last < 0x80) return (last == ' ' || (last >= 0x09 && last <= 0x0d) || (last >= 0x1c && last <= 0x1f)) ? 1 : 0;
  // Multi-byte forms: find the start of the last character.
  std::size_t start = text.size() - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  const std::string_view ch = text.substr(start);
  static constexpr std::string_view kSpaces[] = {"\u0085", "\u00a0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
                                                 "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200a",
                                                 "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
  for (auto space : kSpaces)
    if (ch == space) return ch.size();
  return 0;
}

std::size_t leading_space_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto first = static_cast<unsigned char>(text.front());
  if (first < 0x80)
    return (first == ' ' || (first >= 0x09 && first <= 0x0d) || (first >= 0x1c && first <= 0x1f)) ? 1 : 0;
  std::size_t end = 1;
  while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  return trailing_space_length(text.substr(0, end)) == end ? end : 0;
}

}  // namespace

Json info_or_empty(const wxauto::WindowMessage& msg) {
  auto info = msg.info();
  return info ? std::move(*info) : Json::object();
}

std::optional<Json> guarded_read(const wxauto::WindowMessage& msg, std::string_view key) {
  const Json info = info_or_empty(msg);
  if (!info.is_object()) return std::nullopt;
  const auto it = info.find(key);
  return it == info.end() ? Json("") : *it;
}

Json plain_read(const wxauto::WindowMessage& msg, std::string_view key) {
  const auto info = msg.info();
  if (!info) throw AttributeError("'WindowMessage' object has no attribute 'info'");
  if (!info->is_object()) throw AttributeError("'" + type_name(*info) + "' object has no attribute 'get'");
  const auto it = info->find(key);
  return it == info->end() ? Json(nullptr) : *it;
}

bool is_text(const std::optional<Json>& value, std::string_view text) {
  return value && is_text(*value, text);
}

bool is_text(const Json& value, std::string_view text) {
  return value.is_string() && value.get_ref<const std::string&>() == text;
}

bool text_contains(const std::optional<Json>& value, std::string_view needle) {
  return require_text(value, "substring test").find(needle) != std::string::npos;
}

bool text_contains(const Json& value, std::string_view needle) {
  return text_contains(std::optional<Json>(value), needle);
}

std::string text_of(const std::optional<Json>& value) {
  return require_text(value, "text read");
}

std::string text_of(const Json& value) {
  return text_of(std::optional<Json>(value));
}

std::string cut_before(std::string_view text, std::string_view marker) {
  const auto at = text.find(marker);
  return rstrip(at == std::string_view::npos ? text : text.substr(0, at));
}

QuoteParts split_quote(std::string_view content) {
  static const std::string kAfterLineFeed = "\n" + std::string(kQuoteMarker);
  auto at = content.find(kAfterLineFeed);
  std::size_t skip = kAfterLineFeed.size();
  if (at == std::string_view::npos) {
    at = content.find(kQuoteMarker);
    skip = kQuoteMarker.size();
  }
  if (at == std::string_view::npos) return QuoteParts{rstrip(content), {}, false};
  std::string_view rest = content.substr(at + skip);
  if (const auto next = rest.find(kQuoteMarker); next != std::string_view::npos) rest = rest.substr(0, next);
  return QuoteParts{rstrip(content.substr(0, at)), lstrip(rest), true};
}

std::string stored_content(std::string_view type, std::string_view content) {
  return type == "other" ? split_quote(content).own : rstrip(content);
}

std::string excerpt(std::string_view text, std::size_t max_chars) {
  std::size_t end = 0;
  for (std::size_t chars = 0; end < text.size() && chars < max_chars; ++chars) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  if (end >= text.size()) return std::string(text);
  return std::string(text.substr(0, end)) + "…";
}

std::string rstrip(std::string_view text) {
  while (const std::size_t n = trailing_space_length(text)) text.remove_suffix(n);
  return std::string(text);
}

std::string lstrip(std::string_view text) {
  while (const std::size_t n = leading_space_length(text)) text.remove_prefix(n);
  return std::string(text);
}

}  // namespace orvanta::robot
