// JSON text in Python's json.dumps default form (see json_text.hpp).

#include "orvanta/robot/json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "orvanta/errors.hpp"

namespace orvanta::robot {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, std::uint32_t unit) {
  char buf[6] = {
      '\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF], kHex[(unit >> 4) & 0xF], kHex[unit & 0xF]};
  out.append(buf, sizeof buf);
}

[[noreturn]] void invalid_utf8(std::string_view text, std::size_t at) {
  throw ValueError("invalid UTF-8 in text at byte " + std::to_string(at) + " of " + std::to_string(text.size()));
}

bool is_continuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Decodes the multi-byte sequence starting at text[i] (whose lead byte is not
// ASCII), rejecting overlong forms, surrogates and code points past U+10FFFF.
// Advances `i` past the sequence.
std::uint32_t decode_multibyte(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t len = 0;
  std::uint32_t cp = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (lead == 0xED) hi = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // overlong below U+10000
    if (lead == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    invalid_utf8(text, i);
  }
  if (text.size() - i < len) invalid_utf8(text, i);
  const unsigned char second = byte(i + 1);
  if (second < lo || second > hi) invalid_utf8(text, i);
  cp = (cp << 6) | (second & 0x3F);
  for (std::size_t k = 2; k < len; ++k) {
    const unsigned char c = byte(i + k);
    if (!is_continuation(c)) invalid_utf8(text, i);
    cp = (cp << 6) | (c & 0x3F);
  }
  i += len;
  return cp;
}

void append_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    // Printable ASCII other than the quote and the backslash is copied in runs.
    std::size_t run = i;
    while (run < text.size()) {
      const auto c = static_cast<unsigned char>(text[run]);
      if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') break;
      ++run;
    }
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size()) break;

    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '"':
          out.append("\\\"");
          break;
        case '\\':
          out.append("\\\\");
          break;
        case '\n':
          out.append("\\n");
          break;
        case '\r':
          out.append("\\r");
          break;
        case '\t':
          out.append("\\t");
          break;
        case '\b':
          out.append("\\b");
          break;
        case '\f':
          out.append("\\f");
          break;
        default:
          append_u_escape(out, c);
          break;  // other controls and DEL
      }
      continue;
    }
    const std::uint32_t cp = decode_multibyte(text, i);
    if (cp < 0x10000) {
      append_u_escape(out, cp);
    } else {
      const std::uint32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 | (v >> 10));
      append_u_escape(out, 0xDC00 | (v & 0x3FF));
    }
  }
  out.push_back('"');
}

// Python's repr of a float: the shortest digits that read back as the same
// value, in positional form when the decimal point falls within 16 places
// left of the digits and 4 right of them, otherwise in exponent form with a
// sign and at least two exponent digits.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN");
    return;
  }
  if (std::isinf(value)) {
    out.append(value < 0 ? "-Infinity" : "Infinity");
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));

  std::string_view sign;
  if (!sci.empty() && sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits.push_back(c);
  int exponent = 0;
  const std::string_view exp_text = sci.substr(e_pos + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0), exp_text.data() + exp_text.size(), exponent);

  // The value is 0.<digits> x 10^decpt.
  const int decpt = exponent + 1;
  const int ndigits = static_cast<int>(digits.size());
  out.append(sign);
  if (decpt <= -4 || decpt > 16) {
    out.push_back(digits[0]);
    if (ndigits > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    const int e = decpt - 1;
    out.push_back('e');
    out.push_back(e < 0 ? '-' : '+');
    const std::string mag = std::to_string(e < 0 ? -e : e);
    if (mag.size() < 2) out.push_back('0');
    out.append(mag);
  } else if (decpt <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-decpt), '0');
    out.append(digits);
  } else if (decpt < ndigits) {
    out.append(digits, 0, static_cast<std::size_t>(decpt));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(decpt));
  } else {
    out.append(digits);
    out.append(static_cast<std::size_t>(decpt - ndigits), '0');
    out.append(".0");
  }
}

void append_value(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      out.append("null");
      return;
    case Json::value_t::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return;
    case Json::value_t::number_integer:
      out.append(std::to_string(value.get<std::int64_t>()));
      return;
    case Json::value_t::number_unsigned:
      out.append(std::to_string(value.get<std::uint64_t>()));
      return;
    case Json::value_t::number_float:
      append_float(out, value.get<double>());
      return;
    case Json::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out.append(", ");
        first = false;
        append_value(out, item);
      }
      out.push_back(']');
      return;
    }
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out.append(", ");
        first = false;
        append_string(out, key);
        out.append(": ");
        append_value(out, item);
      }
      out.push_back('}');
      return;
    }
    case Json::value_t::binary:
      throw TypeError("Object of type bytes is not JSON serializable");
    case Json::value_t::discarded:
      break;
  }
  throw TypeError("a discarded value is not JSON serializable");
}

}  // namespace

std::string python_float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::string out;
  append_float(out, value);
  return out;
}

std::string json_dumps(const Json& value) {
  std::string out;
  append_value(out, value);
  return out;
}

}  // namespace orvanta::robot
