#include "queue/scheduler.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>

#include "platform/app.h"
#include "queue/queue_entry.h"
#include "queue/queue_store.h"
#include "settings/options.h"

namespace {
constexpr const char* kSectionRunning = "Running";
constexpr const char* kSectionBatches = "Batches";
constexpr const char* kSectionLine = "Line";  // "Last": the last place given in line

int g_maxActive = 0;  // -j of this process; 0 the setting

std::int64_t number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// What the rule reads of the state a copy published: paused (by the user, or by a failure),
// it holds no place.
bool atRest(const std::string& published) {
  JobPhase p = phaseOf(published);
  return p == JobPhase::Paused || p == JobPhase::Failed;
}

// Every entry the rule needs to see: the running ones (a live lease, no place in line) and the
// waiting ones, read in a few statements whatever the length of the queue. With before, only
// the waiting ones earlier in line than that place: all a claim needs, and a batch of thousands
// claims a turn for each.
std::vector<TurnRow> readRows(std::int64_t before = std::numeric_limits<std::int64_t>::max()) {
  CWinApp* app = AfxGetApp();
  auto turns = QueueEntry::readEvery(QueueValue::Turn);
  const bool all = before == std::numeric_limits<std::int64_t>::max();
  std::map<std::string, std::string> batches;
  if (all) batches = QueueEntry::readEvery(QueueValue::Batch);
  auto batchOf = [&](const std::string& slot) {
    if (all) {
      auto b = batches.find(slot);
      return b == batches.end() ? std::string() : b->second;
    }
    return QueueEntry::readText(slot, QueueValue::Batch);
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
    r.running = r.turn == 0;
    r.paused = r.running && atRest(phases[slot]);
    // Paused while it waited: its place is kept, but it holds back nobody behind it.
    r.owned = !r.running && !atRest(phases[slot]);
  }
  for (const auto& [slot, turn] : turns) {
    std::int64_t place = number(turn);
    if (place >= before && !now.count(slot)) continue;
    TurnRow& r = rows[slot];
    if (!r.slot.empty()) continue;
    r.slot = slot;
    r.turn = place;
    std::string b = batchOf(slot);
    r.owned = !b.empty() && batchLive[b];
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
  std::int64_t n = g_maxActive ? g_maxActive : ConfigInt(kMaxActive);
  return static_cast<int>(std::clamp<std::int64_t>(n, 1, kMaxMaxActive));
}

void setMaxActive(int n) { g_maxActive = n; }

bool mayStart(const std::vector<TurnRow>& rows, const std::string& slot, int limit) {
  auto me = std::find_if(rows.begin(), rows.end(), [&](const TurnRow& r) { return r.slot == slot; });
  if (me == rows.end()) return false;
  // Not in line: it was let in already (a copy started for its turn, a resumed entry).
  if (me->turn == 0 || me->startNow) return true;
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

void queueForTurn(const std::string& slot) {
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    if (!QueueEntry::exists(slot) || QueueEntry::readInt(slot, QueueValue::Turn, 0) > 0) return;
    std::int64_t last = app->GetProfileInt(kSectionLine, "Last", 0) + 1;
    app->WriteProfileInt(kSectionLine, "Last", last);
    QueueEntry::write(slot, QueueValue::Turn, last);
  });
}

bool claimTurn(const std::string& slot) {
  bool granted = false;
  CWinApp* app = AfxGetApp();
  bool taken = app->ProfileTransaction([&] {
    if (leaseHeldByOther(slot)) return;
    // An entry the store could not keep (read-only) has no place in line to wait in. The
    // entry's own place is read first: those after it in line do not matter.
    std::int64_t mine = QueueEntry::readInt(slot, QueueValue::Turn, 0);
    if (QueueEntry::exists(slot) &&
        !mayStart(readRows(mine > 0 ? mine + 1 : std::numeric_limits<std::int64_t>::max()), slot, maxActive()))
      return;
    QueueEntry::clear(slot, QueueValue::Turn);
    QueueEntry::clear(slot, QueueValue::StartNow);
    app->WriteProfileString(kSectionRunning, slot, ownLease());
    granted = true;
  });
  // A store that takes no transaction (read-only, damaged) keeps no line: nobody waits on it.
  return granted || !taken;
}

bool startNow(const std::string& slot) {
  bool marked = false;
  AfxGetApp()->ProfileTransaction([&] {
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
    QueueEntry::write(slot, QueueValue::Turn, b);
    QueueEntry::write(other, QueueValue::Turn, a);
    moved = true;
  });
  return moved;
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
