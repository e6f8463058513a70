// Whose turn it is: how many of the user's downloads run at once, across every process, and
// the line the others wait in. An entry waiting for its turn has a `Turn` value (its place in
// line); a waiting entry belongs to whoever will start it: the process holding its lease, or
// the live batch it belongs to (`Batch`). Entries nobody will start (their process died) are
// left out of the line until a /RESUME takes them up again.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// How many downloads may run at once: this process's -j, else Config MaxActive (1 to 50).
int maxActive();
void setMaxActive(int n);  // -j N / --max-active N for this process

// One entry as the rule sees it.
struct TurnRow {
  std::string slot;
  std::int64_t turn = 0;  // its place in line; 0 it is not waiting
  bool running = false;   // a live process runs it (holds its lease and it is not waiting)
  bool paused = false;    // running but paused: it does not count against the limit
  bool owned = false;     // waiting, and someone will start it
  bool startNow = false;  // the user said Start now: it jumps the limit
};
// Whether slot may start now among rows, with limit running at once (the pure rule): an entry
// not in line may; one in line when fewer than limit run (paused ones not counted) and no
// entry someone will start is earlier in line; Start now jumps both.
bool mayStart(const std::vector<TurnRow>& rows, const std::string& slot, int limit);

// Puts slot at the end of the line; an entry already in line keeps its place.
void queueForTurn(const std::string& slot);
// Whether slot may run now; when it may it leaves the line and this process takes its lease,
// in one transaction with the count, so that two processes never both take the last place.
bool claimTurn(const std::string& slot);
// Start now: the entry runs next, whatever the limit.
bool startNow(const std::string& slot);
// Moves a waiting entry one place earlier (step -1) or later (+1) in line.
bool moveInLine(const std::string& slot, int step);
// The waiting entries that someone will start, in the order they will start.
std::vector<std::string> waitingInOrder();
// How many of the user's downloads run now (paused ones not counted).
int runningCount();

// A batch: one process starts its entries (those with its id as `Batch`) as their turns come.
// Section Batches names each batch's process by its lease.
std::string holdNewBatch();                   // a new batch, held by this process
bool holdBatch(const std::string& id);        // takes over a batch whose process has ended
void releaseBatch(const std::string& id);     // the batch is over (or this process ends)
bool batchAlive(const std::string& id);       // some live process holds it
