#include "engine/overview.h"

#include <algorithm>
#include <map>

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
  for (const QueueEntry& e : QueueEntry::loadAll()) {
    OverviewRow r;
    r.slot = e.slot;
    r.url = displayUrl(e.url);
    r.file = e.localPath;
    r.size = e.live.size;
    Ranges finished;
    pieces::parse(e.pieces, finished);
    r.done = e.start + pieces::bytes(pieces::from(finished, e.start));
    r.state = "queued";
    // What a copy published counts only while it runs: an ended copy's phase and rate are old.
    if (auto it = leases.find(e.slot); it != leases.end()) {
      r.pid = leasePid(it->second);
      r.state = e.live.phase.empty() ? "starting" : e.live.phase;
      if (e.live.done > 0) r.done = e.live.done;
      r.rate = e.live.rate;
      r.retryAt = e.live.retryAt;
      r.connections = e.live.connections;
    } else if (auto o = owners.find(e.slot); o != owners.end()) {
      // Waiting in a live batch: its process will start it (and answers for it); paused
      // there, it waits for Resume.
      r.pid = leasePid(o->second);
      if (pausedPhase(e.live.phase)) r.state = "paused";
    }
    if ((r.turn = placeOf(e.slot)) > 0) r.state = "pending", r.rate = 0, r.connections = 0;
    rows.push_back(std::move(r));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const OverviewRow& a, const OverviewRow& b) {
    return (a.turn > 0) != (b.turn > 0) ? b.turn > 0 : a.turn < b.turn;
  });
  return rows;
}
