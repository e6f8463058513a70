#include "queue/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>

#include "platform/app.h"
#include "platform/control.h"
#include "queue/overview.h"
#include "queue/queue_entry.h"
#include "queue/queue_store.h"
#include "settings/options.h"

namespace {
constexpr const char* kSectionRunning = "Running";
constexpr const char* kSectionBatches = "Batches";
constexpr const char* kSectionLine = "Line";  // "Last": the last place given in line
// The line by place (the name, zero-padded so that names sort as places) to the slot waiting
// there: the store's own order is the line's, and a claim reads its head, not the whole line.
// A row whose slot no longer waits there (removed) is stale and skipped.
constexpr const char* kSectionPlaces = "Places";

int g_maxActive = 0;  // -j of this process; 0 the setting

std::int64_t number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

std::string placeName(std::int64_t place) {
  char name[24];
  std::snprintf(name, sizeof name, "%019lld", static_cast<long long>(place));
  return name;
}

// slot waits at place (0: it leaves the line, keeping word of where it was as -was).
void setPlace(const std::string& slot, std::int64_t place, std::int64_t was = 0) {
  CWinApp* app = AfxGetApp();
  if (was > 0) app->WriteProfileString(kSectionPlaces, placeName(was), nullptr);
  QueueEntry::write(slot, QueueValue::Turn, place > 0 ? place : -was);
  if (place > 0) app->WriteProfileString(kSectionPlaces, placeName(place), slot);
}

// Whether the live batch id will start its entries (the answers kept for one reading).
bool batchLiveCached(std::map<std::string, bool>& known, const std::string& id) {
  auto it = known.find(id);
  if (it == known.end()) it = known.emplace(id, batchAlive(id)).first;
  return it->second;
}

// The rows a claim of slot (at place mine) needs, read from the head of the line and the
// leases alone: every entry a live process runs or holds, slot's own, and those waiting before
// it, read in line order a few at a time up to the first one someone will start. Its cost
// does not grow with the line behind it.
std::vector<TurnRow> headRows(const std::string& slot, std::int64_t mine) {
  CWinApp* app = AfxGetApp();
  std::map<std::string, TurnRow> rows;
  for (const auto& [s, lease] : runningLeases()) {
    if (!QueueEntry::exists(s)) continue;  // a slot taken for an entry not made yet runs nothing
    TurnRow& r = rows[s];
    r.slot = s;
    r.turn = QueueEntry::readInt(s, QueueValue::Turn, 0);
    r.running = r.turn <= 0;
    bool paused = pausedPhase(QueueEntry::readText(s, QueueValue::Phase));
    r.paused = r.running && paused;
    r.owned = !r.running && !paused;
  }
  std::map<std::string, bool> batches;
  auto waiting = [&](const std::string& s, std::int64_t place) -> TurnRow& {
    TurnRow& r = rows[s];
    if (!r.slot.empty()) return r;
    r.slot = s;
    r.turn = place;
    std::string b = QueueEntry::readText(s, QueueValue::Batch);
    r.owned = !b.empty() && batchLiveCached(batches, b) && !pausedPhase(QueueEntry::readText(s, QueueValue::Phase));
    return r;
  };
  if (mine > 0) {
    waiting(slot, mine).startNow = QueueEntry::readInt(slot, QueueValue::StartNow, 0) != 0;
    std::string from = placeName(1);
    for (bool more = true; more;) {
      constexpr int kChunk = 32;
      auto chunk = app->GetProfileRange(kSectionPlaces, from, placeName(mine), kChunk);
      more = static_cast<int>(chunk.size()) == kChunk;
      for (const auto& v : chunk) {
        const auto* s = std::get_if<std::string>(&v.data);
        std::int64_t place = number(v.name);
        from = placeName(place + 1);
        if (!s || QueueEntry::readInt(*s, QueueValue::Turn, 0) != place) {
          app->WriteProfileString(kSectionPlaces, v.name, nullptr);  // its entry went meanwhile
          continue;
        }
        if (waiting(*s, place).owned) more = false;
      }
    }
  }
  std::vector<TurnRow> out;
  for (auto& [s, r] : rows) out.push_back(std::move(r));
  return out;
}

// Every entry the rule needs to see: the running ones (a live lease, no place in line) and the
// waiting ones, read in a few statements whatever the length of the queue (for the views: a
// claim reads the head of the line alone).
std::vector<TurnRow> readRows() {
  CWinApp* app = AfxGetApp();
  auto turns = QueueEntry::readEvery(QueueValue::Turn);
  auto batches = QueueEntry::readEvery(QueueValue::Batch);
  auto batchOf = [&](const std::string& slot) {
    auto b = batches.find(slot);
    return b == batches.end() ? std::string() : b->second;
  };
  auto phases = QueueEntry::readEvery(QueueValue::Phase);
  auto now = QueueEntry::readEvery(QueueValue::StartNow);
  std::map<std::string, bool> batchLive;
  for (const auto& v : app->GetProfileSection(kSectionBatches))
    if (const auto* lease = std::get_if<std::string>(&v.data)) batchLive[v.name] = leaseAlive(*lease);
  std::map<std::string, TurnRow> rows;
  for (const auto& [slot, lease] : runningLeases()) {
    // A slot taken for an entry not made yet runs nothing.
    if (!QueueEntry::exists(slot)) continue;
    TurnRow& r = rows[slot];
    r.slot = slot;
    r.turn = turns.count(slot) ? number(turns[slot]) : 0;
    r.running = r.turn <= 0;
    r.paused = r.running && pausedPhase(phases[slot]);
    // Paused while it waited: its place is kept, but it holds back nobody behind it.
    r.owned = !r.running && !pausedPhase(phases[slot]);
  }
  for (const auto& [slot, turn] : turns) {
    std::int64_t place = number(turn);
    // Below 0: the place of one that has started; not waiting.
    if (place <= 0) continue;
    TurnRow& r = rows[slot];
    if (!r.slot.empty()) continue;
    r.slot = slot;
    r.turn = place;
    std::string b = batchOf(slot);
    // Paused in its batch: the same.
    r.owned = !b.empty() && batchLive[b] && !pausedPhase(phases[slot]);
  }
  std::vector<TurnRow> out;
  out.reserve(rows.size());
  for (auto& [slot, r] : rows) {
    r.startNow = now.count(slot) && number(now[slot]) != 0;
    out.push_back(std::move(r));
  }
  return out;
}
}  // namespace

int maxActive() {
  // ResumeSerial: one after another, whoever starts them.
  std::int64_t n = g_maxActive ? g_maxActive : ConfigInt(kResumeSerial) != 0 ? 1 : ConfigInt(kMaxActive);
  return static_cast<int>(std::clamp<std::int64_t>(n, 1, kMaxMaxActive));
}

void setMaxActive(int n) { g_maxActive = n; }

bool pausedPhase(const std::string& phase) {
  // Paused by the user, or by a failure (resting in its window): either holds no place.
  JobPhase p = phaseOf(phase);
  return p == JobPhase::Paused || p == JobPhase::Failed;
}

bool mayStart(const std::vector<TurnRow>& rows, const std::string& slot, int limit) {
  auto me = std::find_if(rows.begin(), rows.end(), [&](const TurnRow& r) { return r.slot == slot; });
  if (me == rows.end()) return false;
  // Not in line: it was let in already (a copy started for its turn).
  if (me->turn <= 0 || me->startNow) return true;
  int running = 0;
  // An entry not in line comes after every one in it.
  std::int64_t mine = me->turn > 0 ? me->turn : std::numeric_limits<std::int64_t>::max(), earlier = 0;
  for (const TurnRow& r : rows) {
    if (r.slot == slot) continue;
    if (r.running && !r.paused) ++running;
    if (!r.running && r.owned && r.turn > 0 && r.turn < mine) ++earlier;
  }
  return running < limit && earlier == 0;
}

int aheadOf(const std::vector<TurnRow>& rows, const std::string& slot) {
  auto me = std::find_if(rows.begin(), rows.end(), [&](const TurnRow& r) { return r.slot == slot; });
  if (me == rows.end() || me->turn <= 0 || me->startNow) return 0;
  return static_cast<int>(std::count_if(rows.begin(), rows.end(), [&](const TurnRow& r) {
    return r.slot != slot && !r.running && r.owned && r.turn > 0 && (r.startNow || r.turn < me->turn);
  }));
}

void queueForTurn(const std::string& slot) {
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    if (!QueueEntry::exists(slot)) return;
    std::int64_t had = QueueEntry::readInt(slot, QueueValue::Turn, 0);
    // In line already; its place is found by place too (an entry put in line before there
    // was section Places).
    if (had > 0 && app->GetProfileString(kSectionPlaces, placeName(had), "") != slot) return setPlace(slot, had);
    if (had > 0) return;
    if (had < 0) return setPlace(slot, -had);
    std::int64_t last = app->GetProfileInt(kSectionLine, "Last", 0) + 1;
    app->WriteProfileInt(kSectionLine, "Last", last);
    setPlace(slot, last);
  });
}

bool claimTurn(const std::string& slot) {
  bool granted = false;
  CWinApp* app = AfxGetApp();
  bool taken = app->ProfileTransaction([&] {
    if (leaseHeldByOther(slot)) return;
    // An entry the store could not keep (read-only) has no place in line to wait in. Those
    // after it in line do not matter, nor those before it past the first someone will start.
    std::int64_t mine = QueueEntry::readInt(slot, QueueValue::Turn, 0);
    if (QueueEntry::exists(slot) && !mayStart(headRows(slot, mine), slot, maxActive())) return;
    // It leaves the line, keeping word of its place for when it is paused and resumed.
    if (mine > 0) setPlace(slot, 0, mine);
    QueueEntry::clear(slot, QueueValue::StartNow);
    app->WriteProfileString(kSectionRunning, slot, ownLease());
    granted = true;
  });
  // A store that takes no transaction (read-only, damaged) keeps no line: nobody waits on it.
  // One busy for now is asked again (the callers' timers).
  return granted || (!taken && !storeBusy());
}

void wakeWaiting() {
  // Those at the head of the line that someone will start, each owner told once; a process
  // that has ended is not waited for.
  constexpr int kAnswerMs = 300;
  std::set<std::string> told;
  int left = maxActive();
  auto head = AfxGetApp()->GetProfileRange(kSectionPlaces, placeName(1),
                                           placeName(std::numeric_limits<std::int64_t>::max()), 16);
  for (const auto& v : head) {
    const auto* slot = std::get_if<std::string>(&v.data);
    if (!slot || QueueEntry::readInt(*slot, QueueValue::Turn, 0) != number(v.name)) {
      AfxGetApp()->WriteProfileString(kSectionPlaces, v.name, nullptr);  // its entry went meanwhile
      continue;
    }
    if (pausedInLine(*slot)) continue;
    std::string owner = ownerLease(*slot);
    // This process starts it itself, and those behind it wait for it.
    if (owner == ownLease()) break;
    if (owner.empty() || !told.insert(owner).second) continue;
    ControlRequest(controlPathOf(owner), std::string(kTurnWord) + " " + *slot, kAnswerMs);
    if (--left == 0) break;
  }
}

int turnsAhead(const std::string& slot) {
  std::int64_t mine = QueueEntry::readInt(slot, QueueValue::Turn, 0);
  // Counting reads the whole line: in a few statements.
  return mine > 0 ? aheadOf(readRows(), slot) : 0;
}

bool startNow(const std::string& slot) {
  bool marked = false;
  AfxGetApp()->ProfileTransaction([&] {
    queueForTurn(slot);
    if (QueueEntry::readInt(slot, QueueValue::Turn, 0) <= 0) return;
    QueueEntry::write(slot, QueueValue::StartNow, 1);
    marked = true;
  });
  return marked;
}

bool moveInLine(const std::string& slot, int step) {
  bool moved = false;
  AfxGetApp()->ProfileTransaction([&] {
    auto line = waitingInOrder();
    auto at = std::find(line.begin(), line.end(), slot);
    if (at == line.end()) return;
    auto to = at - line.begin() + step;
    if (to < 0 || to >= static_cast<long>(line.size())) return;
    const std::string& other = line[static_cast<std::size_t>(to)];
    std::int64_t a = QueueEntry::readInt(slot, QueueValue::Turn, 0), b = QueueEntry::readInt(other, QueueValue::Turn, 0);
    setPlace(slot, b);
    setPlace(other, a);
    moved = true;
  });
  return moved;
}

void pauseInLine(const std::string& slot, bool hold) {
  AfxGetApp()->ProfileTransaction([&] {
    if (!QueueEntry::exists(slot)) return;
    if (hold) queueForTurn(slot);
    QueueEntry::write(slot, QueueValue::Phase, std::string(phaseWord(JobPhase::Paused)));
  });
}

void resumeInLine(const std::string& slot) {
  AfxGetApp()->ProfileTransaction([&] {
    if (pausedInLine(slot)) QueueEntry::clear(slot, QueueValue::Phase);
  });
}

bool pausedInLine(const std::string& slot) { return pausedPhase(QueueEntry::readText(slot, QueueValue::Phase)); }

std::string ownerLease(const std::string& slot) {
  std::string lease = runningLease(slot);
  if (!lease.empty() || QueueEntry::readInt(slot, QueueValue::Turn, 0) <= 0) return lease;
  std::string batch = QueueEntry::readText(slot, QueueValue::Batch);
  if (batch.empty()) return lease;
  lease = AfxGetApp()->GetProfileString(kSectionBatches, batch, "");
  return leaseAlive(lease) ? lease : std::string();
}

std::map<std::string, std::string> ownerLeases() {
  auto owners = runningLeases();
  auto turns = QueueEntry::readEvery(QueueValue::Turn);
  std::map<std::string, std::string> batchLease;
  for (const auto& v : AfxGetApp()->GetProfileSection(kSectionBatches))
    if (const auto* lease = std::get_if<std::string>(&v.data); lease && leaseAlive(*lease)) batchLease[v.name] = *lease;
  for (const auto& [slot, batch] : QueueEntry::readEvery(QueueValue::Batch)) {
    auto t = turns.find(slot);
    auto b = batchLease.find(batch);
    if (t != turns.end() && number(t->second) > 0 && b != batchLease.end()) owners.emplace(slot, b->second);
  }
  return owners;
}

std::vector<std::string> inLineOrder(std::vector<std::string> slots) {
  auto turns = QueueEntry::readEvery(QueueValue::Turn);
  auto key = [&](const std::string& slot) {
    auto t = turns.find(slot);
    std::int64_t place = t == turns.end() ? 0 : std::llabs(number(t->second));
    return std::pair(place == 0 ? std::numeric_limits<std::int64_t>::max() : place, number(slot));
  };
  std::stable_sort(slots.begin(), slots.end(), [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
  return slots;
}

std::vector<std::string> waitingInOrder() {
  auto rows = readRows();
  std::erase_if(rows, [](const TurnRow& r) { return r.running || !r.owned; });
  // Start now goes first, then the line.
  std::sort(rows.begin(), rows.end(), [](const TurnRow& a, const TurnRow& b) {
    return a.startNow != b.startNow ? a.startNow : a.turn < b.turn;
  });
  std::vector<std::string> slots;
  for (const auto& r : rows) slots.push_back(r.slot);
  return slots;
}

int runningCount() {
  auto rows = readRows();
  return static_cast<int>(std::count_if(rows.begin(), rows.end(), [](const TurnRow& r) { return r.running && !r.paused; }));
}

std::string holdNewBatch() {
  std::string id;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    std::int64_t n = app->GetProfileInt(kSectionLine, "LastBatch", 0) + 1;
    app->WriteProfileInt(kSectionLine, "LastBatch", n);
    id = std::to_string(n);
    app->WriteProfileString(kSectionBatches, id, ownLease());
  });
  return id;
}

bool holdBatch(const std::string& id) {
  bool held = false;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    std::string lease = app->GetProfileString(kSectionBatches, id, "");
    if (leaseAlive(lease) && lease != ownLease()) return;
    app->WriteProfileString(kSectionBatches, id, ownLease());
    held = true;
  });
  return held;
}

void releaseBatch(const std::string& id) {
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    if (app->GetProfileString(kSectionBatches, id, "") == ownLease()) app->WriteProfileString(kSectionBatches, id, nullptr);
  });
}

bool batchAlive(const std::string& id) { return leaseAlive(AfxGetApp()->GetProfileString(kSectionBatches, id, "")); }
