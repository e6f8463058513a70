// Every queued and running download as one row (engine/overview.h reads them from the
// store): what the overview window, its terminal table and `--list` show, and how a script
// reaches the copy that runs an entry (its control socket).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "queue/snapshot.h"

// The download's snapshot (queue/snapshot.h: its phase, bytes, rate, reason, place in line)
// with what names it. Its phase is finished only as its copy published it just before it
// removed its entry.
struct OverviewRow : Snapshot {
  std::string slot;      // "05"
  std::string url;       // a password in it replaced by "***"
  std::string file;      // the local file ("" not chosen yet)
  long pid = 0;          // the process running it, 0 none
  bool entryGone = false;  // failed, and its entry went: only word of it is left, to be removed
  bool running() const { return pid != 0; }
};

// A byte count for people ("1.5 MiB"), and seconds as "m:ss" or "h:mm:ss" ("" when negative).
std::string bytesText(std::int64_t n);
std::string clockText(std::int64_t seconds);

// Cells (every cell one line of text) in aligned columns, two blanks apart; right(i) says
// which columns align right.
std::vector<std::string> alignColumns(const std::vector<std::vector<std::string>>& cells,
                                      const std::function<bool(std::size_t)>& right);

// The rows as a table for people (aligned columns, a header line) and as one JSON array.
std::string overviewTable(const std::vector<OverviewRow>& rows);
std::string overviewJson(const std::vector<OverviewRow>& rows);

// "#05", "05" or "5" as a slot text; "" when it names no slot.
std::string parseSlot(const std::string& text);

// Asks the copy running slot to pause, resume, cancel (keeping the entry) or forget (ending
// and removing the entry). What happened, in words for the user; false as first when
// nothing was done.
enum class ControlAction { Pause, Resume, Cancel, Forget };
struct ControlAnswer {
  bool done = false;
  bool running = false;  // a copy ran the entry and answered
  std::string text;
};
// A Forget with deleteFile also deletes the download's file once the entry is removed (its
// copy has ended and writes no more). Waits for the answer, as a script does.
ControlAnswer controlEntry(const std::string& slot, ControlAction action, bool deleteFile = false);
// The same without waiting: done gets the answer from the event loop, which goes on meanwhile.
void controlEntryAsync(const std::string& slot, ControlAction action, bool deleteFile,
                       std::function<void(ControlAnswer)> done);

// What Pause all and Resume all take: a row whose copy may be paused (it runs, or waits for its
// turn in a copy of its own); a row paused in its copy (one waiting for its turn may be), or
// queued with no process to start it.
bool pausableRow(const OverviewRow& r);
bool resumableRow(const OverviewRow& r);
// Starts an entry that no process runs in a copy of its own, as /RESUME does. inLine: the copy
// waits for its turn behind those already waiting; else it starts at once, whatever the limit.
bool startQueuedEntry(const std::string& slot, bool inLine);
// Resume as a script asks it: a paused copy is resumed over its control socket, an entry no
// process runs is started (startQueuedEntry) in line, as every start but Start now. inLine:
// said as one of several (Resume all). Waits for the answer.
ControlAnswer resumeEntry(const std::string& slot, bool inLine);

// The words of a control request and of its answers, shared by both ends.
const char* controlWord(ControlAction action);
std::optional<ControlAction> controlActionOf(const std::string& word);
// Where the copy holding lease listens ("" no place for sockets).
std::string controlPathOf(const std::string& lease);
