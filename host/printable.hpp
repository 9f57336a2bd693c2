#pragma once

// Text that came from outside (chat texts and names, server frames), made
// safe to print or log: control characters are written as escapes ("\n",
// "\r", "\t", "\x1b"; C1 controls as "\u009b"), so that such a text can
// neither start a line of its own nor drive the terminal. Everything else,
// including text outside ASCII, is left as it is.

#include <string>
#include <string_view>

namespace orvanta::host {

inline std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080 to U+009F: C1 controls (U+009B starts an escape sequence).
      const auto d = static_cast<unsigned char>(text[++i]);
      out += "\\u00";
      out += kHex[d >> 4];
      out += kHex[d & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace orvanta::host
