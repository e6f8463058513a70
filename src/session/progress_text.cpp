#include "session/progress_text.h"

#include "platform/services.h"

double speedSample(std::int64_t receivedBytes, unsigned elapsedMs) {
  return (static_cast<double>(receivedBytes) / 1024.0) / (static_cast<double>(elapsedMs) / 1000.0);
}

std::string timeSpeedLine(double average, bool nothingSinceSample, std::int64_t totalSize, std::int64_t startOffset,
                          std::int64_t bytesThisConn, unsigned elapsedSinceFirst) {
  if (average == 0 && nothingSinceSample) return "?:??:??  (0.0k/sec)";
  bool mb = average > 100.0;
  double shown = mb ? average / 1024.0 : average;
  long long t;
  const char* fmt;
  if (totalSize == 0) {
    t = elapsedSinceFirst;
    fmt = mb ? "%lld:%02lld:%02lld  (Average %.2fMB/sec)" : "%lld:%02lld:%02lld  (Average %.1fk/sec)";
  } else {
    double remaining = static_cast<double>(totalSize + startOffset) / 1024.0 -
                       static_cast<double>(bytesThisConn + startOffset) / 1024.0;
    t = average == 0 ? 0 : static_cast<long long>(remaining / average);
    fmt = mb ? "%lld:%02lld:%02lld left  (Average %.2fMB/sec)" : "%lld:%02lld:%02lld left  (Average %.1fk/sec)";
  }
  return Format(fmt, t / 3600, (t / 60) % 60, t % 60, shown);
}

SizeTexts sizeTexts(std::int64_t have, std::int64_t totalSize, std::int64_t startOffset) {
  SizeTexts out;
  if (totalSize == 0) {
    long long k = have / 1024;
    out.line = Format("%lldk", k);
    out.title = Format("%lldk Downloaded by Tarnwick", k);
    return out;
  }
  std::int64_t total = totalSize + startOffset;
  int percent = total != 0 ? static_cast<int>(have * 100 / total) : 0;
  out.percent = percent;
  out.line = Format("%.1fk of %.1fk (%i%%)", static_cast<double>(have) / 1024.0, static_cast<double>(total) / 1024.0,
                    percent);
  out.title = Format("%i%% Downloaded by Tarnwick", percent);
  return out;
}
