// The download queue in section FileQueue: slots 00, 01, ... (as many as there are entries),
// each entry one value per fact,
// named by the fact and the slot ("Get05"). This file is the one place that names them, and
// the one place that writes an entry.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/app.h"
#include "queue/snapshot.h"

enum class QueueValue {
  Get, Local, Start, WindowX, WindowY, Minimized, LastMod, StupidServer, FTPMarker, Checksum, NameFromServer, Pieces,
  ETag, Request, Name, NewFile,
  // The whole file's length the bytes on disk belong to, kept with LastMod and ETag.
  Total,
  // The line of downloads waiting for their turn (queue/scheduler.h) and the batch an entry belongs to.
  Turn, StartNow, Batch,
  // What the copy running the entry publishes (LiveState), with Start.
  Size, Done, Rate, Phase, RetryAt, Connections, Reason,
};


// The slot text "%02i".
std::string slotText(int slot);

// A running download's state as it publishes it (the snapshot, without its place in line),
// at most once a second and in the same transaction as its resume point. It means something
// only while the entry's lease lives (section Running: the process id and its start time),
// but for a failure: a copy that ended failing leaves the phase "failed" and its reason.
using LiveState = Snapshot;

struct QueueEntry {
  std::string slot;
  std::string url;            // Get: the address being fetched; empty = no entry
  std::string localPath;      // Local
  std::int64_t start = 0;     // Start: the bytes on disk
  std::int64_t windowX = -1;  // WindowX, WindowY: the window's place, -1 unknown
  std::int64_t windowY = -1;
  bool minimized = false;    // Minimized
  std::string lastModified;  // LastMod
  int stupidServer = 0;      // StupidServer
  std::string checksum;      // Checksum: "sha256=HEX" (--checksum) the file must have when complete
  bool nameFromServer = false;  // NameFromServer: a Content-Disposition name renames a new file
  // Pieces: the ranges finished beyond Start ("first-end,..."), written with Start in one
  // transaction; "" none (an entry of a download in one piece).
  std::string pieces;
  std::string etag;  // ETag: the version the bytes on disk belong to ("" none: older entries)
  std::int64_t total = 0;  // Total: the whole file's length with that version, 0 unknown
  // Request: what every HTTP request adds (headers, cookies: credentials), as
  // encodeRequestOptions writes it; "" none.
  std::string request;
  std::string name;  // Name: the name Save As proposes while Local is empty (the browser's); "" the URL's
  std::int64_t turn = 0;  // Turn: its place in the line of downloads waiting to start; 0 not waiting
  bool startNow = false;  // StartNow: it runs next, whatever the limit
  std::string batch;      // Batch: the batch that starts it ("" none)
  LiveState live;
  // NewFile: Local is a name the program gave and its file is not made yet: it is made only
  // where no file stands (else under the next free name). 2: an empty file there may be the
  // browser's own for this download, which goes once the browser lets go. 0: made, or the
  // user's choice.
  int newFile = 0;

  bool operator==(const QueueEntry&) const = default;

  // The entry as one record, read and written in one transaction each: readers never see
  // half of a save. save() deletes what stands at its default, so nothing of an earlier
  // entry in the slot stays behind.
  static QueueEntry load(const std::string& slot);
  void save() const;
  static bool exists(const std::string& slot);
  // Every entry (those with a Get), in slot order, read at once.
  static std::vector<QueueEntry> loadAll();
  // The running copy's state with its resume point (when given), in one transaction;
  // nothing when the entry is gone (no stray values are left behind). False when the store
  // could not take it (busy()): the caller publishes again later.
  static bool publish(const std::string& slot, std::optional<std::int64_t> start, const LiveState& live);
  // Removes every value of the entry, in one transaction.
  static void remove(const std::string& slot);
  // The same for a download that completed, leaving word of it (section Finished, the slot's
  // address as displayUrl shows it) for a Downloads window that looks after the entry has gone.
  static void removeFinished(const std::string& slot);
  // The address whose download last completed in slot, its password masked ("" none).
  static std::string finishedIn(const std::string& slot);
  // Word of a download that failed and whose entry went (a missing file, a refused request):
  // its address, file and reason stay (section Failed) until the user removes them, and no new
  // entry takes its slot. Nothing is written while an entry is in the slot.
  static void recordFailed(const std::string& slot, const std::string& url, const std::string& localPath,
                           const std::string& reason);
  struct Failed {
    std::string slot, url, localPath, reason;
  };
  static std::vector<Failed> failed();
  static bool hasFailed(const std::string& slot);
  // Removes the word of a failed download in slot (its slot is free again unless an entry
  // holds it): false when there was none.
  static bool forgetFailed(const std::string& slot);

  // One value of the entry in slot, as a session keeps its entry current; clear() removes it.
  // An integer written after every block goes here: it is held back and coalesced.
  static void write(const std::string& slot, QueueValue v, std::int64_t value);
  static void write(const std::string& slot, QueueValue v, const std::string& value);
  static void clear(const std::string& slot, QueueValue v);
  // Values that belong together (Start with the LastMod it counts bytes of), in one
  // transaction and at once; an empty ProfileData deletes its value.
  // False when the store did not take them.
  static bool write(const std::string& slot, std::initializer_list<std::pair<QueueValue, ProfileData>> values);
  // One value of every entry that has it, by slot, read in one statement.
  static std::map<std::string, std::string> readEvery(QueueValue v);
  static std::int64_t readInt(const std::string& slot, QueueValue v, std::int64_t def);
  static std::string readText(const std::string& slot, QueueValue v);  // "" when it has none
};
