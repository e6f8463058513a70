// Whose turn it is: how many of the user's downloads run at once, across every process, and
// the line the others wait in. An entry waiting for its turn has a `Turn` value (its place in
// line); a waiting entry belongs to whoever will start it: the process holding its lease, or
// the live batch it belongs to (`Batch`). Entries nobody will start (their process died) are
// left out of the line until a /RESUME takes them up again.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// How many downloads may run at once: this process's -j, else 1 with Config ResumeSerial,
// else Config MaxActive (1 to 50).
int maxActive();
void setMaxActive(int n);  // -j N / --max-active N for this process

// Whether a published phase means the download rests, paused by the user or by a failure
// (it holds no place): the one place the coordinator reads the state a session publishes.
bool pausedPhase(const std::string& phase);

// One entry as the rule sees it.
struct TurnRow {
  std::string slot;
  std::int64_t turn = 0;  // its place in line; 0 (or below: the place it had) it is not waiting
  bool running = false;   // a live process runs it (holds its lease and it is not waiting)
  bool paused = false;    // running but paused: it does not count against the limit
  bool owned = false;     // waiting, and someone will start it
  bool startNow = false;  // the user said Start now: it jumps the limit
};
// Whether slot may start now among rows, with limit running at once (the pure rule): an entry
// not in line may; one in line when fewer than limit run (paused ones not counted) and no
// entry someone will start is earlier in line; Start now jumps both.
bool mayStart(const std::vector<TurnRow>& rows, const std::string& slot, int limit);
// How many someone will start before slot: those earlier in line, and those told to start now.
int aheadOf(const std::vector<TurnRow>& rows, const std::string& slot);

// The coordinator: every path that starts a download (a URL, a batch, "#NN", /RESUME, the
// browser, a dropped link, Resume) puts it in line and claims its turn here; Start now is the
// one exception, and it too is said here.

// Puts slot at the end of the line; an entry already in line keeps its place, and one that
// had a place (it ran, and was paused or stopped) takes it again.
void queueForTurn(const std::string& slot);
// How many will start before slot, as the rule counts them ("27 ahead").
int turnsAhead(const std::string& slot);
// Whether slot may run now; when it may it leaves the line and this process takes its lease,
// in one transaction with the count, so that two processes never both take the last place.
bool claimTurn(const std::string& slot);
// A place may have freed (a download ended or was paused): the first ones waiting in line in
// other processes are told at once over their control sockets ("turn 05"), and claim then
// rather than at their next look.
void wakeWaiting();
inline constexpr const char* kTurnWord = "turn";
// Start now: the entry runs next, whatever the limit (put in line first when it is not).
bool startNow(const std::string& slot);
// An entry no process runs, paused or resumed where it waits (in its batch): paused, it keeps
// its place but nobody starts it. hold also puts it back in line at its place (a batch's
// session paused: it ends and waits there).
void pauseInLine(const std::string& slot, bool hold);
void resumeInLine(const std::string& slot);
bool pausedInLine(const std::string& slot);
// The lease of the process that runs slot, else of the live batch that will start it; "".
std::string ownerLease(const std::string& slot);
// The same for every entry that has one, read at once.
std::map<std::string, std::string> ownerLeases();
// slots in the order of their places in line (those without one last, by number).
std::vector<std::string> inLineOrder(std::vector<std::string> slots);
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
