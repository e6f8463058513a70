// Who runs which entry, and the launcher that starts copies of the program for queued entries.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "queue/queue_entry.h"

// Starts a copy of the program for queued entries (one with ResumeSerial set); true when one was started.
bool resumeQueuedDownloads();

// Copies started for the URLs of one command line: their starter runs them one after another
// when ResumeSerial says so, and a finished one starts no successor of its own. They run
// with the options given with the URLs (options: "-q --retries=N", as typed).
void MarkBatchCopies(const std::string& options);
bool IsBatchCopy();
std::string BatchCopyOptions();

// The queue is full: said with where to see its entries and delete the unwanted ones.
std::string queueFullMessage();

// Leases say which process runs which entry (section Running): an entry runs in at most one process.
bool leaseHeldByOther(const std::string& slot);
// The lease of the process running slot ("pid:start time"), "" when none runs it.
std::string runningLease(const std::string& slot);
// Every running slot's lease, read at once.
std::map<std::string, std::string> runningLeases();
// The process id in a lease (0 none).
long leasePid(const std::string& lease);
// Whether the process a lease names still runs (the same process id and start time).
bool leaseAlive(const std::string& lease);
// This process's lease.
std::string ownLease();
// Removes the entry in slot unless another process is downloading it (false then): checked
// and removed in one transaction, so that no process takes the entry in between.
bool removeEntryUnlessRunning(const std::string& slot);

// What a download keeps of its progress, written together: the bytes complete from 0, the
// ranges finished beyond them, the validators they belong to, and what the server showed.
struct CheckpointValues {
  std::int64_t start = 0;
  std::string pieces;
  std::string lastModified;
  std::string etag;
  std::int64_t total = -1;  // the whole file's length, -1 unknown
  std::string local;     // the file, renamed as the server said
  int stupidServer = 0;  // the server does not resume
};
// In one transaction, only while the entry exists and this process holds its lease: NotOurs
// (nothing written) otherwise; Failed when the store could not take it.
enum class Checkpointed { Written, NotOurs, Failed };
Checkpointed checkpointEntry(const std::string& slot, const CheckpointValues& v);

// The first n slot numbers that have no entry and no running holder, found in one reading of
// the queue: called inside the transaction that saves their entries (a batch's, made at once).
std::vector<std::string> freeSlots(std::size_t n);
// slot went free (its entry was removed, or was never made): the next one taken may be it.
void slotFreed(const std::string& slot);

// This process's hold on one queue slot, released when it ends.
class SlotLease {
 public:
  ~SlotLease() { release(); }
  // Takes the first slot that has no entry and no running holder; "" when all are used.
  std::string allocate();
  // Takes, in place of the slot held, the slot of a queued entry for the same address and
  // file that no process runs, and returns that entry; none when there is no such entry.
  std::optional<QueueEntry> takeOver(const std::string& url, const std::string& localPath);
  // Takes slot unless another process holds it; the process that started this one (a launcher
  // that claimed the slot's turn for it, named by TARNWICK_LAUNCHER) hands it over.
  bool take(const std::string& slot);
  void release();
  // The slot was taken from the launcher, which claimed its turn for it.
  bool handedOver() const { return m_handedOver; }

 private:
  std::string m_slot;  // held; empty none
  bool m_handedOver = false;
};
