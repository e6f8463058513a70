#include "transfer/url.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/services.h"
#include "platform/text.h"
#include "settings/proxy_setting.h"

namespace {
struct Prefix {
  const char* text;
  int service;
};
// Tried in this order, case-sensitively, over the prefix's full length.
constexpr Prefix kPrefixes[] = {
    {"ftp://", svc::kFtp},           {"http://", svc::kHttp},   {"gopher://", svc::kGopher}, {"shttp://", svc::kHttp},
    {"file://", svc::kFile},         {"mailto://", svc::kMail}, {"news://", svc::kNews},     {"nntp://", svc::kNntp},
    {"telnet://", svc::kTelnet},     {"wais://", svc::kWais},   {"mid://", svc::kMid},       {"cid://", svc::kCid},
    {"prospero://", svc::kProspero}, {"afs://", svc::kAfs},     {"https://", svc::kHttp},
};

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

bool hasControlChars(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

std::string toUpper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool parseUrl(const std::string& text, int& service, std::string& server, std::string& object, std::uint16_t& port) {
  service = svc::kUnknown;
  // Control characters anywhere, even among leading white space, would reach request lines.
  if (hasControlChars(text)) return false;
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i == text.size()) return false;
  std::string rest = text.substr(i);
  service = svc::kUnknown;
  for (const auto& p : kPrefixes) {
    std::string pre = p.text;
    if (rest.compare(0, pre.size(), pre) == 0) {
      service = p.service;
      rest = rest.substr(pre.size());
      break;
    }
  }
  if (service == svc::kUnknown) return false;
  if (service == svc::kFile) {
    port = 0;
    server.clear();
    object = rest;
    return true;
  }
  server = rest;
  object.clear();
  if (auto slash = server.find('/'); slash != std::string::npos) {
    object = server.substr(slash);
    server = server.substr(0, slash);
  }
  port = 0;
  // An IPv6 literal keeps its brackets ("[::1]"); its colons are not the port's.
  auto colon = server.rfind(':');
  if (auto close = server.find(']'); server.rfind('[', 0) == 0 && close != std::string::npos)
    colon = server.find(':', close);
  if (colon != std::string::npos) {
    // Optional blanks and sign, then the leading digits; the low 16 bits are kept.
    const char* p = server.c_str() + colon + 1;
    while (isSpace(*p)) ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    std::uint64_t v = 0;
    while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<std::uint64_t>(*p++ - '0');
    // Negated as unsigned: the same low bits, and no overflow for the most negative number.
    if (neg) v = 0 - v;
    port = static_cast<std::uint16_t>(v & 0xFFFF);
    server = server.substr(0, colon);
  }
  return true;
}

bool isSecureUrl(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  return text.compare(i, 8, "https://") == 0;
}

std::uint16_t defaultPort(int service, bool secure) {
  if (service == svc::kHttp) return secure ? 443 : 80;
  return 21;
}

std::string urlFileName(const std::string& object) {
  // Only the path names the file: a query may hold slashes and any name a server likes.
  std::string name = object.substr(0, object.find_first_of("?#"));
  if (auto slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);
  return trim(name);
}

std::string cutFragment(const std::string& object) {
  // The fragment is cut at the first "#"; a query before it stays.
  auto hash = object.find('#');
  return hash == std::string::npos ? object : object.substr(0, hash);
}

std::string resolveLocation(const std::string& base, const std::string& location) {
  // Absolute: it names its own scheme.
  auto colon = location.find(':');
  auto firstSlash = location.find('/');
  if (colon != std::string::npos && (firstSlash == std::string::npos || colon < firstSlash) && colon > 0) {
    bool scheme = true;
    for (std::size_t i = 0; i < colon; ++i)
      if (!std::isalnum(static_cast<unsigned char>(location[i])) && location[i] != '+' && location[i] != '-' &&
          location[i] != '.')
        scheme = false;
    if (scheme) return location;
  }
  auto schemeEnd = base.find("://");
  if (schemeEnd == std::string::npos) return location;
  std::string scheme = base.substr(0, schemeEnd);
  std::size_t authStart = schemeEnd + 3;
  std::size_t pathStart = base.find('/', authStart);
  std::string origin = base.substr(0, pathStart == std::string::npos ? base.size() : pathStart);
  if (location.rfind("//", 0) == 0) return scheme + ":" + location;
  if (!location.empty() && location[0] == '/') return origin + location;
  std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
  if (auto cut = path.find_first_of("?#"); cut != std::string::npos) path = path.substr(0, cut);
  if (location.empty()) return origin + path;
  if (location[0] == '?') return origin + path + location;
  if (location[0] == '#') return origin + path + location;
  std::string dir = path.substr(0, path.rfind('/') + 1);
  // Merge and remove dot segments.
  std::string merged = dir + location;
  std::string query;
  if (auto q = merged.find_first_of("?#"); q != std::string::npos) {
    query = merged.substr(q);
    merged = merged.substr(0, q);
  }
  std::vector<std::string> segs;
  std::size_t i = 1;
  bool trailing = false;
  while (i <= merged.size()) {
    std::size_t j = merged.find('/', i);
    if (j == std::string::npos) j = merged.size();
    std::string seg = merged.substr(i, j - i);
    trailing = j == merged.size() ? (seg == "." || seg == "..") : false;
    if (seg == "..") {
      if (!segs.empty()) segs.pop_back();
    } else if (seg != ".") {
      segs.push_back(seg);
    }
    if (j == merged.size()) break;
    i = j + 1;
    if (i == merged.size()) {
      segs.emplace_back();
      break;
    }
  }
  std::string out;
  for (const auto& s : segs) out += "/" + s;
  if (trailing || out.empty()) out += "/";
  return origin + out + query;
}

namespace {
// Where the server part of a URL lies: after "scheme://", up to the first "/", "?" or "#".
bool authorityOf(const std::string& url, std::size_t& begin, std::size_t& end) {
  auto scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  begin = scheme + 3;
  end = url.find_first_of("/?#", begin);
  if (end == std::string::npos) end = url.size();
  return true;
}
}  // namespace

std::string splitCredentials(const std::string& url, std::string& user, std::string& password) {
  std::size_t begin, end;
  if (!authorityOf(url, begin, end)) return url;
  auto at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < begin) return url;
  std::string info = url.substr(begin, at - begin);
  auto colon = info.find(':');
  user = decodeLoginPart(info.substr(0, colon));
  password = colon == std::string::npos ? std::string() : decodeLoginPart(info.substr(colon + 1));
  return url.substr(0, begin) + url.substr(at + 1);
}

namespace {
// Where the password of a URL (or of a proxy setting without its scheme) lies.
bool passwordSpan(std::string_view url, std::size_t& at, std::size_t& length) {
  auto scheme = url.find("://");
  std::size_t begin = scheme == std::string_view::npos ? 0 : scheme + 3;
  std::size_t end = std::min(url.find_first_of("/?#", begin), url.size());
  auto sign = url.rfind('@', end == 0 ? 0 : end - 1);
  if (sign == std::string_view::npos || sign < begin) return false;
  auto colon = url.find(':', begin);
  if (colon == std::string_view::npos || colon > sign) return false;
  at = colon + 1;
  length = sign - at;
  return true;
}
}  // namespace

std::string displayUrl(const std::string& url) {
  std::size_t at, length;
  if (!passwordSpan(url, at, length)) return url;
  return url.substr(0, at) + "***" + url.substr(at + length);
}

void hidePassword(char* arg) {
  std::size_t at, length;
  const std::size_t size = std::strlen(arg);
  if (!passwordSpan(std::string_view(arg, size), at, length)) return;
  if (length < 3) {
    std::memset(arg + at, '*', length);
    return;
  }
  std::string shown = displayUrl(arg);
  std::memcpy(arg, shown.data(), shown.size());
  std::memset(arg + shown.size(), 0, size - shown.size());
}

std::string encodeRequestTarget(const std::string& target) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(target.size());
  for (unsigned char c : target) {
    bool allowed = std::isalnum(c) || std::strchr("-._~!$&'()*+,;=:@/?%[]", c) != nullptr;
    if (allowed && c != 0) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || (extra == 1 && c < 0xC2) || i + extra >= s.size()) return false;
    std::uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not text.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}
}  // namespace

std::string decodeFileName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    int hi = name[i] == '%' && i + 2 < name.size() ? hexValue(name[i + 1]) : -1;
    int lo = hi >= 0 ? hexValue(name[i + 2]) : -1;
    if (lo < 0) {
      out += name[i];
      continue;
    }
    auto c = static_cast<unsigned char>(hi * 16 + lo);
    if (c == '/' || c < 0x20 || c == 0x7F) {
      out += name.substr(i, 3);
    } else {
      out += static_cast<char>(c);
    }
    i += 2;
  }
  // Characters that would reorder or drive what shows the name stay encoded, as do those
  // that came raw; a leading dot would make a hidden file (or a shell's start-up file).
  auto encoded = [](std::string_view c) {
    std::string e;
    for (unsigned char b : c) e += Format("%%%02X", b);
    return e;
  };
  if (out == "." || out == ".." || !isUtf8(out) || replaceUnshowable(out, false, encoded) != out) out = name;
  out = replaceUnshowable(out, false, encoded);
  out.erase(0, out.find_first_not_of(". "));
  return out;
}

bool isLocalListPath(const std::string& word) { return !word.empty() && (word[0] == '/' || word.find(":\\") == 1); }

std::string urlSaveName(const std::string& url) {
  int service = 0;
  std::uint16_t port = 0;
  std::string server, object, user, password;
  if (!parseUrl(splitCredentials(url, user, password), service, server, object, port)) return std::string();
  return decodeFileName(urlFileName(cutFragment(object)));
}

std::string serverFileName(const std::string& name) {
  std::string last = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
  // Percent-encoded as a URL name would be, so that one function decides what a name may hold.
  std::string encoded;
  for (unsigned char c : last) {
    if (c == '%' || c < 0x20 || c == 0x7F)
      encoded += Format("%%%02X", c);
    else
      encoded += static_cast<char>(c);
  }
  return trim(decodeFileName(encoded));
}

bool addDefaultScheme(const std::string& text, std::string& url) {
  std::string t = trim(text);
  if (t.empty() || t.find("://") != std::string::npos || t[0] == '#' || t[0] == '/' || t[0] == '-' ||
      t.find(":\\") == 1 || hasControlChars(t))
    return false;
  url = "http://" + t;
  return true;
}
