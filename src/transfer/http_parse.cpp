#include "transfer/http_parse.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>
#include <vector>

#include "transfer/url.h"

HeaderLine splitHeaderLine(const std::string& line) {
  HeaderLine h;
  if (auto sp = line.find(' '); sp != std::string::npos) {
    h.name = trim(line.substr(0, sp));
    h.value = trim(line.substr(sp));
  }
  return h;
}

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits from s[pos] on, up to kMaxWireNumber; pos moves past them.
bool decimal(const std::string& s, std::size_t& pos, std::int64_t& value) {
  std::size_t start = pos;
  value = 0;
  while (pos < s.size() && isDigit(s[pos])) {
    int digit = s[pos++] - '0';
    // Checked before the step: the step itself would overflow for a long run of digits.
    if (value > (kMaxWireNumber - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return pos > start;
}
}  // namespace

bool parseStatusLine(const std::string& line, int& code, std::string& reason) {
  // "HTTP/" digit "." digit, one blank, three digits, then a blank and the reason, or nothing.
  if (line.size() < 12 || toUpper(line.substr(0, 5)) != "HTTP/" || !isDigit(line[5]) || line[6] != '.' ||
      !isDigit(line[7]) || line[8] != ' ' || !isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11]))
    return false;
  if (line.size() > 12 && line[12] != ' ') return false;
  code = std::stoi(line.substr(9, 3));
  reason = line.size() > 12 ? trim(line.substr(13)) : std::string();
  return true;
}

bool parseContentLength(const std::string& value, std::int64_t& length) {
  std::size_t pos = 0;
  return decimal(value, pos, length) && pos == value.size();
}

bool parseContentRange(const std::string& value, std::int64_t& first, std::int64_t& last, std::int64_t* totalOut) {
  if (toUpper(value.substr(0, 6)) != "BYTES ") return false;
  std::size_t pos = 6;
  while (pos < value.size() && value[pos] == ' ') ++pos;
  if (!decimal(value, pos, first) || pos >= value.size() || value[pos++] != '-') return false;
  if (!decimal(value, pos, last) || pos >= value.size() || value[pos++] != '/' || last < first) return false;
  std::int64_t total = 0;
  if (totalOut) *totalOut = -1;
  if (value.substr(pos) == "*") return true;
  if (!decimal(value, pos, total) || pos != value.size() || last >= total) return false;
  if (totalOut) *totalOut = total;
  return true;
}

bool headerIs(const std::string& name, const char* wanted) { return toUpper(name) == toUpper(wanted); }

std::string challengeRealm(const std::string& value) {
  auto at = toUpper(value).find("REALM=");
  if (at != std::string::npos && at > 0) return trim(value.substr(at + 6));
  auto scheme = value.find(' ');
  return scheme == std::string::npos ? std::string() : trim(value.substr(scheme + 1));
}

void ChunkedDecoder::decode(const char* p, std::size_t n, std::string& out) {
  const char* end = p + n;
  while (p < end && m_state != State::Done && m_state != State::Failed) {
    if (m_state == State::Data) {
      std::int64_t take = std::min<std::int64_t>(m_left, end - p);
      out.append(p, static_cast<std::size_t>(take));
      p += take;
      m_left -= take;
      if (m_left == 0) m_state = State::DataEnd;
      continue;
    }
    char c = *p++;
    if (c != '\n') {
      if (m_line.size() >= 4096) {
        m_state = State::Failed;
        return;
      }
      m_line += c;
      continue;
    }
    std::string line = trim(m_line);
    m_line.clear();
    if (m_state == State::SizeLine) {
      // Hex digits, then perhaps extensions after ";"; at most 15 digits, so no overflow.
      std::string size = trim(line.substr(0, line.find(';')));
      bool hex =
          !size.empty() && size.size() <= 15 && size.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
      if (!hex) {
        m_state = State::Failed;
        return;
      }
      m_left = std::strtoll(size.c_str(), nullptr, 16);
      m_state = m_left > 0 ? State::Data : State::Trailer;
    } else if (m_state == State::DataEnd) {
      // The data of a chunk ends with a line end, and nothing else.
      if (!line.empty()) {
        m_state = State::Failed;
        return;
      }
      m_state = State::SizeLine;
    } else if (m_state == State::Trailer && line.empty()) {
      m_state = State::Done;
    }
  }
  if (p < end && m_state == State::Done) m_overrun = true;
}

int parseRetryAfter(const std::string& value, std::time_t now) {
  std::string v = value;
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
  std::size_t b = v.find_first_not_of(" \t");
  if (b == std::string::npos) return -1;
  v = v.substr(b);
  if (v.find_first_not_of("0123456789") == std::string::npos) {
    if (v.size() > 9) return 1000000000;  // far beyond any wait taken
    return std::atoi(v.c_str());
  }
  std::tm tm{};
  const char* end = ::strptime(v.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  if (!end || *end != '\0') return -1;
  std::time_t at = ::timegm(&tm);
  return at <= now ? 0 : static_cast<int>(std::min<std::time_t>(at - now, 1000000000));
}

namespace {
std::string lowerAscii(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The parameters of a header value "type; name=value; name*=..." in order, names lower-case,
// quoted strings unquoted. Broken quoting ends the list.
std::vector<std::pair<std::string, std::string>> parameters(const std::string& v) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t i = v.find(';');
  while (i != std::string::npos && i < v.size()) {
    ++i;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
    std::size_t eq = v.find_first_of("=;", i);
    if (eq == std::string::npos || v[eq] == ';') {
      i = eq;
      continue;
    }
    std::string name = lowerAscii(trim(v.substr(i, eq - i)));
    i = eq + 1;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
    std::string value;
    if (i < v.size() && v[i] == '"') {
      bool closed = false;
      for (++i; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) {
          value += v[++i];
        } else if (v[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          value += v[i];
        }
      }
      if (!closed) return out;
      i = v.find(';', i);
    } else {
      std::size_t end = v.find(';', i);
      value = trim(v.substr(i, end == std::string::npos ? std::string::npos : end - i));
      i = end;
    }
    out.emplace_back(name, value);
  }
  return out;
}

// RFC 8187 ext-value: charset'language'pct-encoded; "" when it is not one.
std::string extValue(const std::string& v) {
  std::size_t q1 = v.find('\'');
  std::size_t q2 = q1 == std::string::npos ? q1 : v.find('\'', q1 + 1);
  if (q2 == std::string::npos) return std::string();
  std::string charset = lowerAscii(v.substr(0, q1));
  if (charset != "utf-8" && charset != "iso-8859-1") return std::string();
  std::string bytes;
  for (std::size_t i = q2 + 1; i < v.size(); ++i) {
    if (v[i] == '%') {
      int hi = i + 2 < v.size() ? hexDigit(v[i + 1]) : -1;
      int lo = hi >= 0 ? hexDigit(v[i + 2]) : -1;
      if (lo < 0) return std::string();
      bytes += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      bytes += v[i];
    }
  }
  if (charset == "utf-8") return bytes;
  std::string utf8;  // ISO-8859-1: each byte is its code point
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

std::string base64Decode(const std::string& s) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : s) {
    if (c == '=') break;
    auto at = kAlphabet.find(c);
    if (at == std::string::npos) return std::string();
    acc = (acc << 6) | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}
}  // namespace

std::string contentDispositionName(const std::string& value) {
  std::string plain, extended;
  for (const auto& [name, v] : parameters(value)) {
    if (name == "filename*" && extended.empty()) extended = extValue(v);
    if (name == "filename" && plain.empty()) plain = v;
  }
  return extended.empty() ? plain : extended;
}

std::string wholeFileDigest(const std::string& value, bool legacy) {
  std::string best;
  std::size_t i = 0;
  while (i < value.size()) {
    std::size_t end = value.find(',', i);
    if (end == std::string::npos) end = value.size();
    std::string item = trim(value.substr(i, end - i));
    i = end + 1;
    auto eq = item.find('=');
    if (eq == std::string::npos) continue;
    std::string algorithm = lowerAscii(trim(item.substr(0, eq)));
    std::string encoded = trim(item.substr(eq + 1));
    if (!legacy) {
      // A structured field's byte sequence: ":BASE64:", parameters after it ignored.
      if (encoded.size() < 2 || encoded[0] != ':') continue;
      auto close = encoded.find(':', 1);
      if (close == std::string::npos) continue;
      encoded = encoded.substr(1, close - 1);
    }
    std::size_t want = algorithm == "sha-256" ? 32 : algorithm == "sha-512" ? 64 : 0;
    std::string raw = want ? base64Decode(encoded) : std::string();
    if (raw.size() != want || want == 0) continue;
    std::string hex = algorithm == "sha-256" ? "sha256=" : "sha512=";
    for (unsigned char c : raw) {
      hex += "0123456789abcdef"[c >> 4];
      hex += "0123456789abcdef"[c & 15];
    }
    if (best.empty() || want == 64) best = hex;
  }
  return best;
}
