// The platform's Format lives among the services, which bring the whole platform with them;
// the FTP address code needs only this much of it.
#include <cstdarg>
#include <cstdio>
#include <string>

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char buf[512];
  int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1 : 0);
}
