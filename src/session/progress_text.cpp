#include "session/progress_text.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string_view>

#include "platform/services.h"

namespace {
// Counts reach 2^62 (the wire's limit), so a count plus the resume point, or a count times
// 100, may pass the 64-bit range: such sums and products are taken wider.
using Wide = __int128;

int clampToInt(Wide v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v); }

// Whole seconds toward zero; a time beyond what the text can hold (a speed near nothing) is
// shown as the longest one.
long long wholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 9.2e18) return LLONG_MAX;
  if (seconds <= -9.2e18) return -LLONG_MAX;
  return static_cast<long long>(seconds);
}
}  // namespace

std::string timeSpeedLine(double average, bool nothingSinceSample, std::int64_t totalSize, std::int64_t startOffset,
                          std::int64_t bytesThisConn, unsigned elapsedSinceFirst) {
  if (average == 0 && nothingSinceSample) return "?:??:??  (0.0k/sec)";
  bool mb = average > 100.0;
  double shown = mb ? average / 1024.0 : average;
  long long t;
  const char* fmt;
  if (totalSize == 0) {
    t = elapsedSinceFirst;
    // No size, no time left: the time so far, said to be that.
    fmt = mb ? "%lld:%02lld:%02lld elapsed  (Average %.2fMB/sec)" : "%lld:%02lld:%02lld elapsed  (Average %.1fk/sec)";
  } else {
    double remaining = static_cast<double>(Wide{totalSize} + startOffset) / 1024.0 -
                       static_cast<double>(Wide{bytesThisConn} + startOffset) / 1024.0;
    t = average == 0 ? 0 : wholeSeconds(remaining / average);
    fmt = mb ? "%lld:%02lld:%02lld left  (Average %.2fMB/sec)" : "%lld:%02lld:%02lld left  (Average %.1fk/sec)";
  }
  return Format(fmt, t / 3600, (t / 60) % 60, t % 60, shown);
}

std::string pieceMap(const Ranges& finished, const std::vector<Range>& running, std::int64_t total, int width) {
  if (total <= 0 || width <= 0) return std::string();
  std::string map(static_cast<std::size_t>(width), '.');
  auto cell = [&](std::int64_t at) {
    return static_cast<std::size_t>(std::min<Wide>(Wide{at} * width / total, width - 1));
  };
  for (int i = 0; i < width; ++i) {
    std::int64_t a = static_cast<std::int64_t>(Wide{total} * i / width), b = static_cast<std::int64_t>(Wide{total} * (i + 1) / width);
    for (const Range& r : finished)
      if (r.first <= a && r.end >= b) map[static_cast<std::size_t>(i)] = '#';
  }
  for (const Range& r : running)
    if (r.first < total) map[cell(r.first)] = '>';
  return map;
}

std::string scaleMap(const std::string& map, int width) {
  const int n = static_cast<int>(map.size());
  if (n == 0 || width <= 0) return std::string();
  std::string out;
  for (int j = 0; j < width; ++j) {
    int a = j * n / width, b = std::max(a + 1, (j + 1) * n / width);
    std::string_view part(map.data() + a, static_cast<std::size_t>(b - a));
    out += part.find('>') != std::string_view::npos                 ? '>'
           : part.find_first_not_of('#') == std::string_view::npos ? '#'
                                                                    : '.';
  }
  return out;
}

SizeTexts sizeTexts(std::int64_t have, std::int64_t totalSize, std::int64_t startOffset) {
  SizeTexts out;
  if (totalSize == 0) {
    long long k = have / 1024;
    out.line = Format("%lldk", k);
    out.title = Format("%lldk Downloaded by Tarnwick", k);
    return out;
  }
  Wide total = Wide{totalSize} + startOffset;
  int percent = total != 0 ? clampToInt(Wide{have} * 100 / total) : 0;
  out.percent = percent;
  out.line =
      Format("%.1fk of %.1fk (%i%%)", static_cast<double>(have) / 1024.0, static_cast<double>(total) / 1024.0, percent);
  out.title = Format("%i%% Downloaded by Tarnwick", percent);
  return out;
}
