#include "queue/overview.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>
#include <functional>

#include "platform/app.h"
#include "platform/control.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/timer.h"
#include "platform/text.h"
#include "queue/queue_entry.h"
#include "queue/queue_store.h"
#include "queue/scheduler.h"

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

std::vector<std::string> alignColumns(const std::vector<std::vector<std::string>>& cells,
                                      const std::function<bool(std::size_t)>& right) {
  std::vector<std::size_t> width;
  auto columns = [](const std::string& s) {
    // Columns as a terminal counts them: UTF-8 continuation bytes take none.
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  for (const auto& row : cells) {
    if (width.size() < row.size()) width.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], columns(row[i]));
  }
  std::vector<std::string> lines;
  for (const auto& row : cells) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      // The last column is not padded.
      std::string pad(width[i] - columns(row[i]), ' ');
      if (i + 1 == row.size()) line += right(i) ? pad + row[i] : row[i];
      else line += (right(i) ? pad + row[i] : row[i] + pad) + "  ";
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string overviewTable(const std::vector<OverviewRow>& rows) {
  std::vector<std::vector<std::string>> cells{{"SLOT", "FILE", "SIZE", "DONE", "RATE", "LEFT", "STATE", "CONN", "PID", "URL"}};
  for (const auto& r : rows) {
    std::string done = bytesText(r.done);
    if (r.size > 0) done += " (" + std::to_string(std::min<std::int64_t>(100, r.done * 100 / r.size)) + "%)";
    std::string state = phaseWord(r.phase);
    if (r.phase == JobPhase::Pending) state += " " + std::to_string(r.turn);
    if (r.phase == JobPhase::Waiting && r.retryAt > 0)
      state += " " + clockText(std::max<std::int64_t>(0, r.retryAt - static_cast<std::int64_t>(std::time(nullptr))));
    if (r.phase == JobPhase::Failed && !r.reason.empty()) state += ": " + escapedText(r.reason);
    cells.push_back({"#" + r.slot, r.file.empty() ? "-" : escapedText(fileName(r.file)),
                     r.size > 0 ? bytesText(r.size) : "?", done, r.rate > 0 ? bytesText(r.rate) + "/s" : "-",
                     r.secondsLeft() < 0 ? "-" : clockText(r.secondsLeft()), state, r.running() ? std::to_string(r.connections) : "-",
                     r.running() ? std::to_string(r.pid) : "-", escapedText(r.url)});
  }
  std::string out;
  for (const auto& line : alignColumns(cells, [](std::size_t i) { return i >= 2 && i <= 5; })) out += line + "\n";
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
           ", \"state\": " + jsonString(phaseWord(r.phase)) + ", \"retry_at\": " + number(r.retryAt, r.retryAt > 0) +
           ", \"connections\": " + std::to_string(r.connections) + ", \"pid\": " + number(r.pid, r.running()) +
           ", \"turn\": " + number(r.turn, r.turn > 0) +
           ", \"reason\": " + (r.reason.empty() ? "null" : jsonString(r.reason)) + "}";
  }
  return out + (rows.empty() ? "]\n" : "\n]\n");
}

std::string parseSlot(const std::string& text) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 9 ||
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

namespace {
// "ok paused" or "error ...": done or not, and the words after the first.
ControlAnswer answerOf(const std::string& name, const std::string& line) {
  bool ok = line.compare(0, 3, "ok ") == 0 || line == "ok";
  std::size_t blank = line.find(' ');
  return {ok, true, name + ": " + (blank == std::string::npos ? std::string() : line.substr(blank + 1))};
}

// One control of an entry on its way. It looks twice: a copy that starts or ends meanwhile
// is found on the second look. How a copy is asked, and how the pause between the looks
// passes, is the caller's: at once for a script, from the event loop for a window.
struct Controlling {
  using Ask = std::function<void(const std::string& path, const std::string& word,
                                 std::function<void(std::optional<std::string>)> answered)>;
  using Pause = std::function<void(std::function<void()> then)>;
  std::string slot, name, file;
  ControlAction action;
  bool deleteFile = false;
  std::string lastLease;
  Ask ask;
  Pause pause;
  std::function<void(ControlAnswer)> done;

  void finish(ControlAnswer a) {
    // The file goes once its download is removed and no copy writes it any more.
    if (deleteFile && a.done && action == ControlAction::Forget && !file.empty() && FileExists(file)) {
      DeleteFile(file);
      a.text += FileExists(file) ? " Its file could not be deleted: " + file : " Its file was deleted.";
    }
    done(std::move(a));
  }

  static void look(std::shared_ptr<Controlling> c, int look) {
    const std::string& name = c->name;
    if (look == 2) return c->finish(c->conclusion());
    if (look == 0 && !QueueEntry::exists(c->slot)) {
      // A failed download whose entry went: its word is all there is, and Remove takes it.
      for (const auto& f : QueueEntry::failed()) {
        if (f.slot != c->slot) continue;
        if (c->action != ControlAction::Forget) return c->finish({false, false, name + " failed: " + f.reason});
        c->file = f.localPath;
        QueueEntry::forgetFailed(c->slot);
        return c->finish({true, false, name + " removed."});
      }
    }
    if (!QueueEntry::exists(c->slot))
      return c->finish(
          {false, false, look == 0 ? "There is no download " + name + "." : "The download " + name + " has just ended."});
    if (look == 0) {
      // A name whose file the download has not made yet may be another's file by now.
      QueueEntry e = QueueEntry::load(c->slot);
      c->file = e.newFile ? std::string() : e.localPath;
    }
    // Whoever runs it, or the batch that will start it, answers for it.
    std::string lease = ownerLease(c->slot);
    if (lease.empty()) {
      if (c->action == ControlAction::Forget && removeEntryUnlessRunning(c->slot))
        return c->finish({true, false, name + " removed."});
      if (c->action == ControlAction::Forget) return Controlling::look(c, look + 1);  // it has just started: ask it
      if (c->action == ControlAction::Resume) return c->finish({false, false, name + " is not running."});
      return c->finish({true, false, name + " is not running."});
    }
    c->lastLease = lease;
    // The socket is named by the process id and its start time: a process that reused the
    // id has another name, and is never asked.
    // The slot goes with the word: a process running a batch serves all its sessions on one socket.
    c->ask(controlPathOf(lease), std::string(controlWord(c->action)) + " " + c->slot, [c, look](std::optional<std::string> answer) {
      if (answer) return c->finish(answerOf(c->name, *answer));
      c->pause([c, look] { Controlling::look(c, look + 1); });  // it is ending: its lease goes with it
    });
  }

  ControlAnswer conclusion() const {
    if (!QueueEntry::exists(slot))
      return {action == ControlAction::Forget, false, "The download " + name + " has just ended."};
    if (!ownerLease(slot).empty()) {
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
};

constexpr int kAnswerMs = 3000;
constexpr int kEndingMs = 200;

std::shared_ptr<Controlling> controlling(const std::string& slot, ControlAction action, bool deleteFile) {
  auto c = std::make_shared<Controlling>();
  c->slot = slot;
  c->name = "#" + slot;
  c->action = action;
  c->deleteFile = deleteFile;
  return c;
}
}  // namespace

ControlAnswer controlEntry(const std::string& slot, ControlAction action, bool deleteFile) {
  auto c = controlling(slot, action, deleteFile);
  c->ask = [](const std::string& path, const std::string& word, auto answered) {
    answered(ControlRequest(path, word, kAnswerMs));
  };
  c->pause = [](std::function<void()> then) {
    ::usleep(kEndingMs * 1000);
    then();
  };
  ControlAnswer result;
  c->done = [&result](ControlAnswer a) { result = std::move(a); };
  Controlling::look(c, 0);
  return result;
}

void controlEntryAsync(const std::string& slot, ControlAction action, bool deleteFile,
                       std::function<void(ControlAnswer)> done) {
  auto c = controlling(slot, action, deleteFile);
  c->ask = [](const std::string& path, const std::string& word, auto answered) {
    ControlRequestAsync(path, word, kAnswerMs, std::move(answered));
  };
  c->pause = [](std::function<void()> then) { CallLater(kEndingMs, std::move(then)); };
  c->done = std::move(done);
  Controlling::look(c, 0);
}

bool pausableRow(const OverviewRow& r) {
  return r.running() && r.phase != JobPhase::Paused && r.phase != JobPhase::Failed && r.phase != JobPhase::Finished;
}

bool resumableRow(const OverviewRow& r) {
  if (r.entryGone) return false;  // nothing is left to resume
  if (r.running())
    return r.phase == JobPhase::Paused || r.phase == JobPhase::Pending || r.phase == JobPhase::Failed;
  return r.phase == JobPhase::Queued || r.phase == JobPhase::Failed;
}

bool startQueuedEntry(const std::string& slot, bool inLine) {
  // A place in line left by a copy that ended would hold back one meant to start now.
  if (inLine)
    queueForTurn(slot);
  else
    startNow(slot);
  AfxGetApp()->FlushProfile();
  return WinExec("TARNWICK.EXE #" + slot);
}

ControlAnswer resumeEntry(const std::string& slot, bool inLine) {
  ControlAnswer a = controlEntry(slot, ControlAction::Resume);
  if (a.done || a.running || !QueueEntry::exists(slot)) return a;
  // Resume asks for its turn as every start does (Start now alone jumps the line).
  bool waits = inLine || runningCount() >= maxActive() || !waitingInOrder().empty();
  if (!startQueuedEntry(slot, true)) return {false, false, "#" + slot + " could not be started."};
  return {true, false, "#" + slot + ": started" + (waits ? "; it runs when its turn comes" : "")};
}
