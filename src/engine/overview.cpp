#include "engine/overview.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/pieces.h"
#include "queue/queue_entry.h"
#include "queue/queue_store.h"
#include "queue/scheduler.h"
#include "transfer/url.h"

std::vector<OverviewRow> readOverview() {
  std::vector<OverviewRow> rows;
  auto leases = runningLeases();
  auto owners = ownerLeases();
  // Those waiting for their turn come last, in the order they will start.
  std::map<std::string, int> place;
  for (const auto& slot : waitingInOrder()) place.emplace(slot, static_cast<int>(place.size()) + 1);
  auto placeOf = [&](const std::string& slot) {
    auto at = place.find(slot);
    return at == place.end() ? 0 : at->second;
  };
  std::set<std::string> entries;
  for (const QueueEntry& e : QueueEntry::loadAll()) {
    entries.insert(e.slot);
    OverviewRow r;
    r.slot = e.slot;
    r.url = displayUrl(e.url);
    r.file = e.localPath;
    r.size = e.live.size;
    Ranges finished;
    pieces::parse(e.pieces, finished);
    r.done = e.start + pieces::bytes(pieces::from(finished, e.start));
    r.phase = JobPhase::Queued;
    // What a copy published counts only while it runs: an ended copy's phase and rate are old,
    // but for a failure, which it left to be seen with its reason.
    if (e.live.phase == JobPhase::Failed) r.phase = JobPhase::Failed, r.reason = e.live.reason;
    if (auto it = leases.find(e.slot); it != leases.end()) {
      r.pid = leasePid(it->second);
      r.phase = e.live.phase;
      r.reason = e.live.reason;
      if (e.live.done > 0) r.done = e.live.done;
      r.rate = e.live.rate;
      r.retryAt = e.live.retryAt;
      r.connections = e.live.connections;
    } else if (auto o = owners.find(e.slot); o != owners.end()) {
      // Waiting in a live batch: its process will start it (and answers for it); paused
      // there, it waits for Resume.
      r.pid = leasePid(o->second);
      if (e.live.phase == JobPhase::Paused) r.phase = JobPhase::Paused;
    }
    if ((r.turn = placeOf(e.slot)) > 0) r.phase = JobPhase::Pending, r.rate = 0, r.connections = 0;
    rows.push_back(std::move(r));
  }
  // Failed downloads whose entries went, in slot order among the others.
  for (const auto& f : QueueEntry::failed()) {
    if (entries.count(f.slot)) continue;
    OverviewRow r;
    r.slot = f.slot;
    r.url = displayUrl(f.url);
    r.file = f.localPath;
    r.phase = JobPhase::Failed;
    r.reason = f.reason;
    r.entryGone = true;
    auto at = std::find_if(rows.begin(), rows.end(), [&](const OverviewRow& o) { return std::stol(o.slot) > std::stol(f.slot); });
    rows.insert(at, std::move(r));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const OverviewRow& a, const OverviewRow& b) {
    return (a.turn > 0) != (b.turn > 0) ? b.turn > 0 : a.turn < b.turn;
  });
  return rows;
}
