#include "engine/pieces.h"

#include <algorithm>
#include <cstdlib>

#include "transfer/download.h"

namespace pieces {

void add(Ranges& set, Range r) {
  if (r.size() <= 0) return;
  Ranges out;
  for (const Range& s : set) {
    if (s.end < r.first || s.first > r.end) {
      out.push_back(s);
      continue;
    }
    r.first = std::min(r.first, s.first);
    r.end = std::max(r.end, s.end);
  }
  out.push_back(r);
  std::sort(out.begin(), out.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
  set = std::move(out);
}

void remove(Ranges& set, Range r) {
  if (r.size() <= 0) return;
  Ranges kept;
  for (const Range& x : set) {
    if (x.end <= r.first || x.first >= r.end) {
      kept.push_back(x);
      continue;
    }
    if (x.first < r.first) kept.push_back({x.first, r.first});
    if (x.end > r.end) kept.push_back({r.end, x.end});
  }
  set = std::move(kept);
}

bool covers(const Ranges& set, Range r) {
  if (r.size() <= 0) return true;
  for (const Range& x : set)
    if (x.first <= r.first && x.end >= r.end) return true;
  return false;
}

std::int64_t prefix(const Ranges& set) { return !set.empty() && set.front().first <= 0 ? set.front().end : 0; }

Ranges from(const Ranges& set, std::int64_t at) {
  Ranges out;
  for (Range r : set) {
    if (r.end <= at) continue;
    r.first = std::max(r.first, at);
    out.push_back(r);
  }
  return out;
}

std::int64_t bytes(const Ranges& set) {
  std::int64_t n = 0;
  for (const Range& r : set) n += r.size();
  return n;
}

Ranges missing(const Ranges& set, std::int64_t total) {
  Ranges out;
  std::int64_t at = 0;
  for (const Range& r : set) {
    if (r.first >= total) break;
    if (r.first > at) out.push_back({at, r.first});
    at = std::max(at, r.end);
  }
  if (at < total) out.push_back({at, total});
  return out;
}

Ranges rollback(const Ranges& set, std::int64_t rollbackBytes) {
  Ranges out;
  for (Range r : set) {
    r.end = StepBack(r.end, rollbackBytes);
    if (r.end > r.first) out.push_back(r);
  }
  return out;
}

std::optional<Claim> claim(const Ranges& free, const std::vector<Range>& busy,
                           const std::vector<std::int64_t>& got) {
  const Range* best = nullptr;
  for (const Range& r : free)
    if (r.size() > 0 && (!best || r.size() > best->size())) best = &r;
  if (best) return Claim{-1, *best};
  int from = -1;
  for (int i = 0; i < static_cast<int>(busy.size()); ++i)
    if (from < 0 || busy[i].size() > busy[from].size()) from = i;
  if (from < 0 || busy[from].size() < 2 * kMinPiece) return std::nullopt;
  const Range& r = busy[from];
  std::int64_t had = static_cast<std::size_t>(from) < got.size() ? got[static_cast<std::size_t>(from)] : 0;
  std::int64_t piece = std::max(r.size() / 2, std::min((had + r.size()) / 2, r.size() - kMinPiece));
  return Claim{from, {r.end - piece, r.end}};
}

std::string format(const Ranges& set) {
  std::string text;
  for (const Range& r : set) {
    if (!text.empty()) text += ',';
    text += std::to_string(r.first) + '-' + std::to_string(r.end);
  }
  return text;
}

bool parse(const std::string& text, Ranges& set) {
  set.clear();
  const char* p = text.c_str();
  while (*p) {
    char* end = nullptr;
    if (*p < '0' || *p > '9') return set.clear(), false;
    long long first = std::strtoll(p, &end, 10);
    if (*end != '-' || end[1] < '0' || end[1] > '9') return set.clear(), false;
    long long last = std::strtoll(end + 1, &end, 10);
    // Ranges come in order, each after the one before it.
    if (last <= first || (!set.empty() && first <= set.back().end)) return set.clear(), false;
    set.push_back({first, last});
    if (*end == ',') ++end;
    else if (*end) return set.clear(), false;
    p = end;
  }
  return true;
}

}  // namespace pieces
