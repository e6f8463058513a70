#include "platform/text.h"

#include <cstdint>
#include <cstdio>

namespace {
// The length of the well-formed UTF-8 character at text[i] and its code point; 0 when the
// byte there starts none.
std::size_t utf8At(std::string_view text, std::size_t i, std::uint32_t& cp) {
  auto c = static_cast<unsigned char>(text[i]);
  std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > text.size() || (n == 2 && c < 0xC2)) return 0;
  cp = n == 1 ? c : c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    auto d = static_cast<unsigned char>(text[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

bool unshowable(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}
}  // namespace

std::string replaceUnshowable(std::string_view text, bool keepBreaks,
                              const std::function<std::string(std::string_view)>& with) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp = 0;
    std::size_t n = utf8At(text, i, cp);
    if (keepBreaks && (text[i] == '\n' || text.compare(i, 2, "\r\n") == 0)) {
      n = text[i] == '\n' ? 1 : 2;
      out.append(text.substr(i, n));
    } else if (n == 0) {
      n = 1;  // a stray byte: some terminals take 0x9B alone for CSI
      out += with(text.substr(i, 1));
    } else if (unshowable(cp)) {
      out += with(text.substr(i, n));
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string displayText(std::string_view text) {
  static const std::function<std::string(std::string_view)> replacement = [](std::string_view) {
    return std::string("\xEF\xBF\xBD");
  };
  return replaceUnshowable(text, true, replacement);
}

std::string escapedText(std::string_view text) {
  return replaceUnshowable(text, false, [](std::string_view c) {
    if (c == "\t") return std::string("\\t");
    if (c == "\n") return std::string("\\n");
    if (c == "\r") return std::string("\\r");
    char buf[16];
    std::uint32_t cp = 0;
    if (c.size() > 1 && utf8At(c, 0, cp) == c.size())
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp));
    else
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c[0])));
    return std::string(buf);
  });
}
