#include "transfer/ftp_parse.h"

#include <cctype>
#include <cstdlib>

#include "transfer/url.h"

int ftpReplyCode(const std::string& line) {
  std::string first = line.substr(0, 3);
  if (first.empty() || !std::isdigit(static_cast<unsigned char>(first[0]))) return 0;
  return std::atoi(first.c_str());
}

bool FtpReplyReader::endsReply(const std::string& line, int code) {
  if (m_multiCode != 0) {
    bool last = code == m_multiCode && (line.size() == 3 || line[3] == ' ');
    if (last) m_multiCode = 0;
    return last;
  }
  if (line.size() >= 4 && line[3] == '-' && code >= 100) {
    m_multiCode = code;
    return false;
  }
  return true;
}

std::uint16_t parsePassiveReply(const std::string& line, std::string& host) {
  std::string text = line;
  if (auto open = text.find('('); open != std::string::npos) text = text.substr(open + 1);
  if (auto close = text.find(')'); close != std::string::npos) text = text.substr(0, close);
  std::uint16_t port = 0;
  if (auto c2 = text.rfind(','); c2 != std::string::npos) {
    long p2 = std::atol(text.substr(c2 + 1).c_str());
    text = text.substr(0, c2);
    if (auto c1 = text.rfind(','); c1 != std::string::npos) {
      long p1 = std::atol(text.substr(c1 + 1).c_str());
      text = text.substr(0, c1);
      port = static_cast<std::uint16_t>((p1 % 256) * 256 + (p2 % 256));
    }
  }
  host = text;
  for (auto& c : host)
    if (c == ',') c = '.';
  return port;
}

bool namesRetrSize(const std::string& line) {
  std::string copy = toUpper(line);
  return copy.find("BYTES).") != std::string::npos || copy.find("BYTES.)") != std::string::npos;
}

bool parseSizeReply(const std::string& line, std::int64_t& size) {
  if (ftpReplyCode(line) != 213 || line.size() < 5 || line[3] != ' ') return false;
  std::string digits = trim(line.substr(4));
  if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  size = std::strtoll(digits.c_str(), nullptr, 10);
  return size <= (std::int64_t{1} << 62);
}

bool parseMdtmReply(const std::string& line, std::string& stamp) {
  if (ftpReplyCode(line) != 213 || line.size() < 5 || line[3] != ' ') return false;
  std::string text = trim(line.substr(4));
  std::size_t digits = text.find_first_not_of("0123456789");
  if (digits == std::string::npos) digits = text.size();
  if (digits != 14) return false;
  // A fraction of a second: a dot and at least one digit, nothing else.
  if (digits < text.size() &&
      (text[digits] != '.' || text.size() == digits + 1 || text.find_first_not_of("0123456789", digits + 1) != std::string::npos))
    return false;
  stamp = text;
  return true;
}

bool parseRetrSize(const std::string& line, std::int64_t& size) {
  if (!namesRetrSize(line)) return false;
  std::string copy = toUpper(trim(line));
  if (auto open = copy.rfind('('); open != std::string::npos) copy = copy.substr(open + 1);
  if (auto at = copy.find("BYTES)."); at != std::string::npos) copy = copy.substr(0, at);
  if (auto at = copy.find("BYTES.)"); at != std::string::npos) copy = copy.substr(0, at);
  copy = trim(copy);
  // Digits only, and far from overflow: a size is used in arithmetic.
  if (copy.empty() || copy.size() > 18 || copy.find_first_not_of("0123456789") != std::string::npos) return false;
  size = std::strtoll(copy.c_str(), nullptr, 10);
  return size <= (std::int64_t{1} << 62);
}
