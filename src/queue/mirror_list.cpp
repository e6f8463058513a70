#include "queue/mirror_list.h"

#include <cctype>
#include <cstring>

#include "platform/file.h"
#include "transfer/url.h"

std::string readListLine(CFile& file) {
  std::int64_t start = file.GetPosition();
  char buf[256];
  std::memset(buf, 0, sizeof buf);
  long n = file.Read(buf, 255);
  if (n < 0) n = 0;
  std::size_t textLen = strnlen(buf, static_cast<std::size_t>(n));
  std::string text(buf, textLen);
  std::string line;
  auto lf = text.find('\n');
  if (n == 255 && lf == std::string::npos && textLen == 255) {
    line = text;
    file.Seek(start + 256);
  } else if (lf != std::string::npos) {
    line = text.substr(0, lf);
    file.Seek(start + static_cast<std::int64_t>(lf) + 1);
  } else {
    line = text;
    // A zero byte would stop the reader on the same place for ever: step over it.
    std::int64_t advance = static_cast<std::int64_t>(textLen) + (textLen < static_cast<std::size_t>(n) ? 1 : 0);
    file.Seek(start + advance);
  }
  return trim(line);
}

std::string siteUrlOf(const std::string& line) {
  std::string rest = line;
  for (int i = 0; i < 3; ++i) {
    auto comma = rest.find(',');
    if (comma == std::string::npos) return line;
    rest = rest.substr(comma + 1);
  }
  return rest;
}
