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

int statusCodeOf(const std::string& value, std::string& reason) {
  std::string codeText;
  reason.clear();
  if (auto sp = value.find(' '); sp != std::string::npos) {
    codeText = value.substr(0, sp);
    reason = trim(value.substr(sp));
  }
  return static_cast<int>(std::strtoll(codeText.c_str(), nullptr, 10));
}

bool headerIs(const std::string& name, const char* wanted) { return toUpper(name) == toUpper(wanted); }

void ChunkedDecoder::decode(const char* p, std::size_t n, std::string& out) {
  const char* end = p + n;
  while (p < end && m_state != State::Done) {
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
      if (m_line.size() < 4096) m_line += c;
      continue;
    }
    std::string line = trim(m_line);
    m_line.clear();
    if (m_state == State::SizeLine) {
      if (line.empty()) continue;
      m_left = std::strtoll(line.c_str(), nullptr, 16);
      m_state = m_left > 0 ? State::Data : State::Trailer;
    } else if (m_state == State::DataEnd) {
      m_state = State::SizeLine;
    } else if (m_state == State::Trailer && line.empty()) {
      m_state = State::Done;
    }
  }
}
