#include "transfer/http_parse.h"

#include <algorithm>
#include <cstdlib>

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
