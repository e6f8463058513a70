#include "settings/proxy_setting.h"

#include <strings.h>

#include <cctype>

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_'; }
}  // namespace

std::optional<ProxyServer> parseProxySetting(const std::string& text, std::uint16_t defaultPort) {
  std::size_t b = 0, e = text.size();
  while (b < e && isBlank(text[b])) ++b;
  while (e > b && isBlank(text[e - 1])) --e;
  std::string s = text.substr(b, e - b);
  for (const char* scheme : {"http://", "ftp://"}) {
    std::size_t n = std::char_traits<char>::length(scheme);
    if (s.size() >= n && ::strncasecmp(s.c_str(), scheme, n) == 0) {
      s.erase(0, n);
      break;
    }
  }
  if (!s.empty() && s.back() == '/') s.pop_back();

  ProxyServer out;
  // What stands before the last "@" is the login: a password may hold an "@" of its own.
  if (auto at = s.rfind('@'); at != std::string::npos) {
    std::string login = s.substr(0, at);
    s.erase(0, at + 1);
    auto colon = login.find(':');
    out.user = decodeLoginPart(login.substr(0, colon));
    if (colon != std::string::npos) out.password = decodeLoginPart(login.substr(colon + 1));
    if (out.user.empty()) return std::nullopt;
    for (char c : login)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || isBlank(c)) return std::nullopt;
  }
  std::size_t hostEnd;
  if (!s.empty() && s[0] == '[') {
    hostEnd = s.find(']');
    if (hostEnd == std::string::npos || s.find(':') > hostEnd) return std::nullopt;
    for (std::size_t i = 1; i < hostEnd; ++i)
      if (!isHex(s[i]) && s[i] != ':' && s[i] != '.') return std::nullopt;
    ++hostEnd;
  } else {
    hostEnd = s.find(':');
    if (hostEnd == std::string::npos) hostEnd = s.size();
    if (hostEnd == 0) return std::nullopt;
    for (std::size_t i = 0; i < hostEnd; ++i)
      if (!isNameChar(s[i])) return std::nullopt;
  }
  out.host = s.substr(0, hostEnd);

  unsigned long port = 0;
  if (hostEnd < s.size()) {
    std::string digits = s.substr(hostEnd + 1);
    if (s[hostEnd] != ':' || digits.empty() || digits.size() > 5) return std::nullopt;
    for (char c : digits)
      if (!isDigit(c)) return std::nullopt;
    port = std::stoul(digits);
    if (port > 65535) return std::nullopt;
  }
  // 0 is what the Find buttons give for a browser proxy stored without its port.
  out.port = port == 0 ? defaultPort : static_cast<std::uint16_t>(port);
  return out;
}

std::string decodeLoginPart(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && isHex(s[i + 1]) && isHex(s[i + 2])) {
      char c = static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
        out += c;
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}
