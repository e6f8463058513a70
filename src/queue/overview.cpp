#include "queue/overview.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "platform/control.h"
#include "platform/text.h"
#include "queue/queue_entry.h"
#include "queue/queue_store.h"
#include "transfer/url.h"

namespace {
constexpr ControlAction kActions[] = {ControlAction::Pause, ControlAction::Resume, ControlAction::Cancel,
                                      ControlAction::Forget};

// A JSON string: quotes, backslashes and every character a terminal or a parser could take
// for something else escaped; bytes that are no UTF-8 become U+FFFD.
std::string jsonString(const std::string& s) {
  std::string quoted;
  for (char c : s) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return "\"" + replaceUnshowable(quoted, false, [](std::string_view b) {
           unsigned cp = 0xFFFD;
           auto u = [&](std::size_t i) { return static_cast<unsigned char>(b[i]); };
           if (b.size() == 1 && u(0) < 0x80) cp = u(0);
           else if (b.size() == 2 && (u(0) & 0xE0) == 0xC0) cp = (u(0) & 0x1Fu) << 6 | (u(1) & 0x3Fu);
           else if (b.size() == 3 && (u(0) & 0xF0) == 0xE0) cp = (u(0) & 0x0Fu) << 12 | (u(1) & 0x3Fu) << 6 | (u(2) & 0x3Fu);
           char buf[8];
           std::snprintf(buf, sizeof buf, "\\u%04x", cp);
           return std::string(buf);
         }) + "\"";
}

std::string fileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }
}  // namespace

std::string bytesText(std::int64_t n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return buf;
}

std::string clockText(std::int64_t s) {
  char buf[32];
  if (s < 0) return "";
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  return buf;
}

std::int64_t OverviewRow::secondsLeft() const {
  if (rate <= 0 || size <= 0 || done > size) return -1;
  return (size - done + rate - 1) / rate;
}

std::vector<OverviewRow> readOverview() {
  std::vector<OverviewRow> rows;
  auto leases = runningLeases();
  for (const QueueEntry& e : QueueEntry::loadAll()) {
    OverviewRow r;
    r.slot = e.slot;
    r.url = displayUrl(e.url);
    r.file = e.localPath;
    r.size = e.live.size;
    r.done = e.start;
    r.state = "queued";
    // What a copy published counts only while it runs: an ended copy's phase and rate are old.
    if (auto it = leases.find(e.slot); it != leases.end()) {
      r.pid = leasePid(it->second);
      r.state = e.live.phase.empty() ? "starting" : e.live.phase;
      if (e.live.done > 0) r.done = e.live.done;
      r.rate = e.live.rate;
      r.retryAt = e.live.retryAt;
      r.connections = e.live.connections;
    }
    rows.push_back(std::move(r));
  }
  return rows;
}

std::string overviewTable(const std::vector<OverviewRow>& rows) {
  std::vector<std::vector<std::string>> cells{{"SLOT", "FILE", "SIZE", "DONE", "RATE", "LEFT", "STATE", "CONN", "PID", "URL"}};
  for (const auto& r : rows) {
    std::string done = bytesText(r.done);
    if (r.size > 0) done += " (" + std::to_string(std::min<std::int64_t>(100, r.done * 100 / r.size)) + "%)";
    std::string state = r.state;
    if (r.state == "waiting" && r.retryAt > 0)
      state += " " + clockText(std::max<std::int64_t>(0, r.retryAt - static_cast<std::int64_t>(std::time(nullptr))));
    cells.push_back({"#" + r.slot, displayText(r.file.empty() ? "-" : fileName(r.file)),
                     r.size > 0 ? bytesText(r.size) : "?", done, r.rate > 0 ? bytesText(r.rate) + "/s" : "-",
                     r.secondsLeft() < 0 ? "-" : clockText(r.secondsLeft()), state, r.running() ? std::to_string(r.connections) : "-",
                     r.running() ? std::to_string(r.pid) : "-", displayText(r.url)});
  }
  std::vector<std::size_t> width(cells[0].size(), 0);
  auto columns = [](const std::string& s) {
    // Columns as a terminal counts them: UTF-8 continuation bytes take none.
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  for (const auto& row : cells)
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], columns(row[i]));
  std::string out;
  for (const auto& row : cells) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      // Numbers are aligned right, words left; the last column is not padded.
      bool right = i >= 2 && i <= 5;
      std::string pad(width[i] - columns(row[i]), ' ');
      if (i + 1 == row.size()) line += row[i];
      else line += (right ? pad + row[i] : row[i] + pad) + "  ";
    }
    out += line + "\n";
  }
  return out;
}

std::string overviewJson(const std::vector<OverviewRow>& rows) {
  std::string out = "[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    auto number = [](std::int64_t n, bool known) { return known ? std::to_string(n) : std::string("null"); };
    out += std::string(i ? ",\n " : "\n ") + "{\"slot\": " + jsonString(r.slot) + ", \"url\": " + jsonString(r.url) +
           ", \"file\": " + (r.file.empty() ? "null" : jsonString(r.file)) + ", \"size\": " + number(r.size, r.size > 0) +
           ", \"done\": " + std::to_string(r.done) + ", \"rate\": " + std::to_string(r.rate) +
           ", \"state\": " + jsonString(r.state) + ", \"retry_at\": " + number(r.retryAt, r.retryAt > 0) +
           ", \"connections\": " + std::to_string(r.connections) + ", \"pid\": " + number(r.pid, r.running()) + "}";
  }
  return out + (rows.empty() ? "]\n" : "\n]\n");
}

std::string parseSlot(const std::string& text) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 2 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    return std::string();
  return slotText(std::stoi(digits));
}

const char* controlWord(ControlAction action) {
  switch (action) {
    case ControlAction::Pause: return "pause";
    case ControlAction::Resume: return "resume";
    case ControlAction::Cancel: return "cancel";
    case ControlAction::Forget: return "forget";
  }
  return "";
}

std::optional<ControlAction> controlActionOf(const std::string& word) {
  for (auto a : kActions)
    if (word == controlWord(a)) return a;
  return std::nullopt;
}

std::string controlPathOf(const std::string& lease) {
  std::string folder = ControlFolder();
  if (folder.empty() || lease.empty()) return std::string();
  std::string name = lease;
  std::replace(name.begin(), name.end(), ':', '-');
  return folder + "/" + name + ".sock";
}

ControlAnswer controlEntry(const std::string& slot, ControlAction action) {
  const std::string name = "#" + slot;
  std::string lastLease;
  // Twice: a copy that starts or ends meanwhile is found on the second look.
  for (int look = 0; look < 2; ++look) {
    if (!QueueEntry::exists(slot))
      return {false, false, look == 0 ? "There is no download " + name + "." : "The download " + name + " has just ended."};
    std::string lease = runningLease(slot);
    if (lease.empty()) {
      if (action == ControlAction::Forget && removeEntryUnlessRunning(slot)) return {true, false, name + " removed."};
      if (action == ControlAction::Forget) continue;  // it has just started: ask it
      if (action == ControlAction::Resume) return {false, false, name + " is not running."};
      return {true, false, name + " is not running."};
    }
    lastLease = lease;
    // The socket is named by the process id and its start time: a process that reused the
    // id has another name, and is never asked.
    if (auto answer = ControlRequest(controlPathOf(lease), controlWord(action))) {
      bool ok = answer->rfind("ok", 0) == 0;
      std::string text = answer->size() > 3 ? answer->substr(answer->find(' ') + 1) : std::string();
      return {ok, true, name + ": " + text};
    }
    ::usleep(200 * 1000);  // it is ending: its lease goes with it
  }
  if (!QueueEntry::exists(slot)) return {action == ControlAction::Forget, false, "The download " + name + " has just ended."};
  if (!runningLease(slot).empty()) {
    // Nobody can listen in a folder that is not the user's alone: that is the cause, not the copy.
    std::string refused;
    std::string running = name + " runs in process " + std::to_string(leasePid(lastLease));
    if (ControlFolder(&refused).empty())
      return {false, true, running + ", which cannot be asked: " + refused + "."};
    return {false, true, running + ", which does not answer."};
  }
  bool atRest = action == ControlAction::Pause || action == ControlAction::Cancel;
  return {atRest, false, "The download " + name + " has just ended; its entry is kept."};
}
