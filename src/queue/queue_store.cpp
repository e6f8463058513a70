#include "queue/queue_store.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/app.h"
#include "platform/services.h"
#include "platform/timer.h"
#include "queue/scheduler.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "settings/options.h"

namespace {
constexpr const char* kSectionRunning = "Running";
// Which slots are free, without reading the queue: "Next", no slot from it up is used; a
// "FreeNNNNNNNNN" for each below it that went free (zero-padded: the store's order is theirs).
constexpr const char* kSectionSlots = "Slots";

std::string freeName(long slot) {
  char name[32];
  std::snprintf(name, sizeof name, "Free%09ld", slot);
  return name;
}

// A failed download's word holds its slot too, until removed.
bool slotUsed(const std::string& slot) {
  return QueueEntry::exists(slot) || !runningLease(slot).empty() || QueueEntry::hasFailed(slot);
}

// The lowest free slot, taken (in the caller's transaction): a slot freed below "Next", else
// "Next" itself. The queue is read once, the first time (a store from before the count).
std::string takeFreeSlot() {
  CWinApp* app = AfxGetApp();
  std::int64_t next = app->GetProfileInt(kSectionSlots, "Next", -1);
  if (next < 0) {
    std::set<long> used;
    for (const auto& [slot, url] : QueueEntry::readEvery(QueueValue::Get)) used.insert(std::atol(slot.c_str()));
    for (const auto& [slot, lease] : runningLeases()) used.insert(std::atol(slot.c_str()));
    for (const auto& f : QueueEntry::failed()) used.insert(std::atol(f.slot.c_str()));
    next = used.empty() ? 0 : *used.rbegin() + 1;
    for (long n = 0; n < next; ++n)
      if (!used.count(n)) app->WriteProfileString(kSectionSlots, freeName(n), "1");
  }
  for (;;) {
    // A freed one may have been taken meanwhile by a store written without the count: checked.
    auto freed = app->GetProfileRange(kSectionSlots, "Free", "Fref", 1);
    std::string slot;
    if (!freed.empty()) {
      app->WriteProfileString(kSectionSlots, freed[0].name, nullptr);
      slot = slotText(std::atoi(freed[0].name.c_str() + 4));
    } else {
      slot = slotText(static_cast<int>(next++));
      app->WriteProfileInt(kSectionSlots, "Next", next);
    }
    if (!slotUsed(slot)) return slot;
  }
}

// The start time of a process, so that a reused process id is not taken for the holder.
std::string processStamp(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(f, stat);
  auto close = stat.rfind(')');
  if (close == std::string::npos) return std::string();
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) return field;
  return std::string();
}

std::string myLease() {
  // Read once per process id (a forked child has its own).
  static long pid = 0;
  static std::string lease;
  if (pid != ::getpid()) {
    pid = ::getpid();
    lease = std::to_string(pid) + ":" + processStamp(pid);
  }
  return lease;
}

}  // namespace

bool leaseAlive(const std::string& lease) {
  auto colon = lease.find(':');
  if (lease.empty() || colon == std::string::npos) return false;
  // This process's own (a batch holds many): no need to ask the kernel.
  if (lease == myLease()) return true;
  long pid = std::atol(lease.substr(0, colon).c_str());
  if (pid <= 0) return false;
  std::string stamp = processStamp(pid);
  return !stamp.empty() && stamp == lease.substr(colon + 1);
}

std::string queueFullMessage() {
  std::string text = LoadString(res::IDS_QUEUE_FULL);
  auto abort = text.rfind("\nAborting.");
  text.insert(abort == std::string::npos ? text.size() : abort,
              "\nSee and delete queued requests with:  " + InvokedName() + " /RESUMEDLG");
  return text;
}

std::string runningLease(const std::string& slot) {
  std::string lease = AfxGetApp()->GetProfileString(kSectionRunning, slot, "");
  return leaseAlive(lease) ? lease : std::string();
}

std::map<std::string, std::string> runningLeases() {
  std::map<std::string, std::string> leases;
  for (const auto& v : AfxGetApp()->GetProfileSection(kSectionRunning))
    if (const auto* lease = std::get_if<std::string>(&v.data); lease && leaseAlive(*lease)) leases[v.name] = *lease;
  return leases;
}

long leasePid(const std::string& lease) { return lease.empty() ? 0 : std::atol(lease.c_str()); }

std::string ownLease() { return myLease(); }

bool leaseHeldByOther(const std::string& slot) {
  std::string lease = AfxGetApp()->GetProfileString(kSectionRunning, slot, "");
  return leaseAlive(lease) && lease != myLease();
}

bool storeBusy() { return AfxGetApp()->Store()->busy(); }

void endFinished(const std::string& slot) {
  if (slot.empty()) return;
  CWinApp* app = AfxGetApp();
  bool released = false;
  bool ended = app->ProfileTransaction([&] {
    if (leaseHeldByOther(slot)) return;
    QueueEntry::removeFinished(slot);
    if (app->GetProfileString(kSectionRunning, slot, "") != myLease()) return;
    app->WriteProfileString(kSectionRunning, slot, nullptr);
    released = true;
  });
  if (!ended && storeBusy()) CallLater(100, [slot] { endFinished(slot); });
  // Its place may be the next one's.
  if (released) wakeWaiting();
}

Checkpointed checkpointEntry(const std::string& slot, const CheckpointValues& v) {
  if (slot.empty()) return Checkpointed::NotOurs;
  // Read first: an entry gone, or another's, costs no write transaction.
  if (!QueueEntry::exists(slot) || AfxGetApp()->GetProfileString(kSectionRunning, slot, "") != myLease())
    return Checkpointed::NotOurs;
  auto text = [](const std::string& t) { return t.empty() ? ProfileData() : ProfileData(t); };
  bool ours = false, written = false;
  bool committed = AfxGetApp()->ProfileTransaction([&] {
    if (!QueueEntry::exists(slot) || AfxGetApp()->GetProfileString(kSectionRunning, slot, "") != myLease()) return;
    ours = true;
    written = QueueEntry::write(slot, {{QueueValue::Start, v.start == 0 ? ProfileData() : ProfileData(v.start)},
                             {QueueValue::Pieces, text(v.pieces)},
                             {QueueValue::LastMod, text(v.lastModified)},
                             {QueueValue::ETag, text(v.etag)},
                             {QueueValue::Total, v.total > 0 ? ProfileData(v.total) : ProfileData()},
                             {QueueValue::Local, text(v.local)},
                             {QueueValue::StupidServer, v.stupidServer ? ProfileData(std::int64_t{1}) : ProfileData()}});
  });
  if (committed && !ours) return Checkpointed::NotOurs;
  return committed && written ? Checkpointed::Written : Checkpointed::Failed;
}

bool removeEntryUnlessRunning(const std::string& slot) {
  bool removed = false;
  AfxGetApp()->ProfileTransaction([&] {
    if (leaseHeldByOther(slot)) return;
    QueueEntry::remove(slot);
    removed = true;
  });
  return removed;
}

bool SlotLease::take(const std::string& slot) {
  bool taken = false;
  CWinApp* app = AfxGetApp();
  const char* launcher = std::getenv("TARNWICK_LAUNCHER");
  // Held already (a batch's claim took it): no other process can take it from us.
  if (app->GetProfileString(kSectionRunning, slot, "") == myLease()) {
    m_slot = slot;
    return true;
  }
  app->ProfileTransaction([&] {
    bool held = leaseHeldByOther(slot);
    if (held && (!launcher || app->GetProfileString(kSectionRunning, slot, "") != launcher)) return;
    app->WriteProfileString(kSectionRunning, slot, myLease());
    m_handedOver = held;
    taken = true;
  });
  if (taken) m_slot = slot;
  return taken;
}

std::optional<QueueEntry> SlotLease::takeOver(const std::string& url, const std::string& localPath) {
  std::optional<QueueEntry> twin;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    for (QueueEntry& e : QueueEntry::loadAll()) {
      if (e.slot == m_slot || e.url != url || e.localPath != localPath || leaseHeldByOther(e.slot)) continue;
      app->WriteProfileString(kSectionRunning, e.slot, myLease());
      if (!m_slot.empty()) app->WriteProfileString(kSectionRunning, m_slot, nullptr);
      if (!m_slot.empty() && !QueueEntry::exists(m_slot)) slotFreed(m_slot);
      m_slot = e.slot;
      twin = std::move(e);
      return;
    }
  });
  return twin;
}

std::vector<std::string> freeSlots(std::size_t n) {
  std::vector<std::string> slots;
  slots.reserve(n);
  while (slots.size() < n) slots.push_back(takeFreeSlot());
  return slots;
}

void slotFreed(const std::string& slot) {
  CWinApp* app = AfxGetApp();
  long n = std::atol(slot.c_str());
  if (slot.empty() || n >= app->GetProfileInt(kSectionSlots, "Next", -1)) return;
  app->WriteProfileString(kSectionSlots, freeName(n), "1");
}

std::string SlotLease::allocate() {
  // Reserved in one transaction, so two processes never take the same slot.
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    // Any number of entries: the first number free of both.
    // Counted, not searched for: the queue is not read.
    m_slot = takeFreeSlot();
    app->WriteProfileString(kSectionRunning, m_slot, myLease());
  });
  return m_slot;
}

void SlotLease::release() {
  if (m_slot.empty()) return;
  CWinApp* app = AfxGetApp();
  if (!app) return;
  // Let go of already (a finished download's end took it): no transaction for nothing.
  if (app->GetProfileString(kSectionRunning, m_slot, "") != myLease()) {
    m_slot.clear();
    return;
  }
  bool released = false;
  app->ProfileTransaction([&] {
    if (app->GetProfileString(kSectionRunning, m_slot, "") != myLease()) return;
    app->WriteProfileString(kSectionRunning, m_slot, nullptr);
    if (!QueueEntry::exists(m_slot)) slotFreed(m_slot);  // taken for an entry never made
    released = true;
  });
  m_slot.clear();
  // Its place may be the next one's.
  if (released) wakeWaiting();
}

namespace {
constexpr const char* kBatchVariable = "TARNWICK_BATCH_COPY";
}

void MarkBatchCopies(const std::string& options) { SetCopiesVariable(kBatchVariable, options); }
bool IsBatchCopy() { return std::getenv(kBatchVariable) != nullptr; }
std::string BatchCopyOptions() { return IsBatchCopy() ? std::getenv(kBatchVariable) : ""; }

bool resumeQueuedDownloads() {
  bool started = false;
  auto owners = ownerLeases();
  for (const QueueEntry& e : QueueEntry::loadAll()) {
    const std::string& s = e.slot;
    // An entry running in another process, or waiting in a live batch, is not started twice;
    // one at a time means it is the one. The copy started waits for its turn as any start does.
    if (auto o = owners.find(s); o != owners.end() && o->second != myLease()) {
      if (ConfigInt(kResumeSerial) != 0) return true;
      continue;
    }
    WinExec("TARNWICK.EXE #" + s);
    started = true;
    if (ConfigInt(kResumeSerial) != 0) return true;
  }
  return started;
}
