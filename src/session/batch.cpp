#include "session/batch.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <unordered_set>

#include "platform/app.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "queue/local_name.h"
#include "queue/overview.h"
#include "queue/queue_store.h"
#include "queue/scheduler.h"
#include "session/download_dlg.h"
#include "session/ending.h"
#include "settings/options.h"
#include "transfer/url.h"

namespace {
// How often the waiting ones ask whether their turn has come, besides being told (wakeWaiting):
// for a process that ended without a word, and Start now.
constexpr int kTurnPollMs = 1000;

std::int64_t number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }
}  // namespace

std::string entryRequest(const std::string& url, const RequestOptions& request) {
  Download d;
  std::string address = url;
  return siteAddress(address, d) == 0 ? encodeRequestOptions(request.forHost(d.m_server)) : std::string();
}

std::string queueBatch(const std::vector<std::string>& urls, const std::string& folder, bool nameFromServer,
                       const RequestOptions& request, std::vector<std::string>& slots) {
  std::string id = holdNewBatch();
  std::unordered_set<std::string> paths;
  bool saved = AfxGetApp()->ProfileTransaction([&] {
    slots = freeSlots(urls.size());
    // Names by the one rule: none a queued entry holds (an earlier batch's, cut short), nor
    // one given here already.
    PathTest queued = heldByQueue();
    for (std::size_t i = 0; i < urls.size(); ++i) {
      QueueEntry e;
      e.slot = slots[i];
      e.url = urls[i];
      std::string name = urlSaveName(e.url);
      e.localPath = freeLocalPath(folder, name.empty() ? "index.html" : name,
                                  [&](const std::string& p) { return paths.count(p) != 0 || queued(p); });
      paths.insert(e.localPath);
      e.newFile = 1;
      e.nameFromServer = nameFromServer || name.empty();
      e.request = entryRequest(e.url, request);
      e.batch = id;
      e.save();
      queueForTurn(e.slot);
    }
  });
  if (!saved) slots.clear();
  return id;
}

std::string adoptQueuedEntries(std::vector<std::string>& slots) {
  std::string id = holdNewBatch();
  std::vector<std::pair<std::int64_t, std::string>> line;
  AfxGetApp()->ProfileTransaction([&] {
    auto leases = runningLeases();
    auto batches = QueueEntry::readEvery(QueueValue::Batch);
    std::map<std::string, bool> alive;
    std::vector<std::string> found;
    for (const auto& [slot, url] : QueueEntry::readEvery(QueueValue::Get)) {
      if (leases.count(slot)) continue;  // a live process runs it
      if (auto b = batches.find(slot); b != batches.end() && !b->second.empty()) {
        auto known = alive.find(b->second);
        if (known == alive.end()) known = alive.emplace(b->second, batchAlive(b->second)).first;
        if (known->second) continue;  // a live batch will start it
      }
      found.push_back(slot);
    }
    // Those already in line keep their places; the others follow in the queue's order.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return number(a) < number(b); });
    for (const auto& slot : found) {
      QueueEntry::write(slot, QueueValue::Batch, id);
      queueForTurn(slot);
      resumeInLine(slot);  // /RESUME is the user's word for a paused one too
    }
    auto turns = QueueEntry::readEvery(QueueValue::Turn);
    for (const auto& slot : found) line.emplace_back(number(turns[slot]), slot);
  });
  std::sort(line.begin(), line.end());
  slots.clear();
  for (auto& [turn, slot] : line) slots.push_back(std::move(slot));
  if (slots.empty()) {
    releaseBatch(id);
    id.clear();
  }
  return id;
}

std::vector<std::string> batchEntries(const std::string& id) {
  std::vector<std::pair<std::int64_t, std::string>> line;
  auto turns = QueueEntry::readEvery(QueueValue::Turn);
  for (const auto& [slot, batch] : QueueEntry::readEvery(QueueValue::Batch))
    if (batch == id && !leaseHeldByOther(slot)) line.emplace_back(number(turns[slot]), slot);
  std::sort(line.begin(), line.end());
  std::vector<std::string> slots;
  for (auto& [turn, slot] : line) slots.push_back(std::move(slot));
  return slots;
}

BatchRun::BatchRun(std::string id, const std::vector<std::string>& slots, Mode mode)
    : m_id(std::move(id)), m_mode(mode), m_waiting(slots.begin(), slots.end()) {
  auto urls = QueueEntry::readEvery(QueueValue::Get);
  for (const auto& slot : m_waiting) m_urls[slot] = urls[slot];
  // The process's control socket answers for the entries that wait here too: a pause reaches
  // every download that has not finished.
  CDownloadDlg::keepControlOpen(true, [this](const std::string& word, const std::string& slot) {
    return onControl(word, slot);
  });
}

BatchRun::~BatchRun() {
  CDownloadDlg::keepControlOpen(false);
  releaseBatch(m_id);
}

std::vector<int> BatchRun::run() {
  CEventLoop loop;
  m_loop = &loop;
  m_tick.start(kTurnPollMs, [this] {
    settleElsewhere();
    startDue(true);
  });
  startDue(true);
  finishIfDone();
  if (m_loop) loop.exec();
  m_loop = nullptr;
  m_tick.stop();
  // One sound for the whole batch, not one per file.
  if (!m_stopped && !m_statuses.empty() && ConfigInt(kDoneBeep) != 0) MessageBeep(false);
  // What never started stays queued for a later /RESUME.
  m_statuses.insert(m_statuses.end(), m_waiting.size() + m_elsewhere.size(), 2);
  m_waiting.clear();
  m_elsewhere.clear();
  releaseBatch(m_id);
  return m_statuses;
}

void BatchRun::stop() {
  m_stopped = true;
  m_tick.stop();
  for (auto& [slot, dlg] : m_sessions)
    if (dlg->IsRunning() && !dlg->IsEnded()) dlg->onControl("cancel");  // the entry is kept
  finishIfDone();
}

void BatchRun::readLine() {
  // Start now first, then the line's order (which the Downloads window may change).
  auto turns = QueueEntry::readEvery(QueueValue::Turn);
  auto now = QueueEntry::readEvery(QueueValue::StartNow);
  auto phases = QueueEntry::readEvery(QueueValue::Phase);
  std::vector<std::tuple<bool, std::int64_t, std::string>> due;
  std::vector<std::string> gone;
  for (const auto& slot : m_waiting) {
    auto t = turns.find(slot);
    if (t == turns.end() || number(t->second) <= 0) {
      gone.push_back(slot);
      continue;
    }
    // Paused where it waits: it keeps its place, and waits for Resume.
    if (pausedPhase(phases[slot])) continue;
    due.emplace_back(!(now.count(slot) && number(now[slot]) != 0), number(t->second), slot);
  }
  // Out of line without this batch: removed, or started by hand in another process, which
  // tells how it ends.
  for (const auto& slot : gone) {
    m_waiting.erase(slot);
    m_elsewhere.insert(slot);
  }
  settleElsewhere();
  std::sort(due.begin(), due.end());
  m_line.clear();
  for (auto& [later, turn, slot] : due) m_line.push_back(std::move(slot));
}

void BatchRun::settleElsewhere() {
  for (auto it = m_elsewhere.begin(); it != m_elsewhere.end();) {
    const std::string& slot = *it;
    if (!runningLease(slot).empty()) {
      ++it;
      continue;
    }
    // Its process has ended: complete (the entry went with word of it), kept, or removed.
    if (QueueEntry::exists(slot))
      m_statuses.push_back(2);
    else
      m_statuses.push_back(!m_urls[slot].empty() && QueueEntry::finishedIn(slot) == m_urls[slot] ? 0 : 1);
    it = m_elsewhere.erase(it);
  }
  finishIfDone();
}

void BatchRun::startDue(bool reread) {
  if (m_stopped) return;
  // The whole line is read again on the timer only: a download that ends asks for the next
  // one without reading the queue.
  if (reread) readLine();
  while (!m_line.empty()) {
    const std::string slot = m_line.front();
    if (!m_waiting.count(slot) || pausedInLine(slot)) {
      m_line.pop_front();
      continue;
    }
    // Taken up by hand in another process: it is that process's to start.
    if (leaseHeldByOther(slot)) {
      m_line.pop_front();
      m_waiting.erase(slot);
      m_elsewhere.insert(slot);
      continue;
    }
    if (!claimTurn(slot)) break;
    m_line.pop_front();
    m_waiting.erase(slot);
    if (!start(slot)) m_statuses.push_back(1);
  }
  finishIfDone();
}

bool BatchRun::start(const std::string& slot) {
  if (m_mode == Mode::Copies) {
    AfxGetApp()->FlushProfile();
    return WinExec("TARNWICK.EXE #" + slot);
  }
  auto dlg = std::make_unique<CDownloadDlg>();
  dlg->m_commandLine = "#" + slot;
  dlg->m_turnClaimed = true;
  dlg->m_inBatch = true;
  dlg->m_job.useConnections(pooledConnectionFactory(m_pool));
  CDownloadDlg* session = dlg.get();
  m_sessions[slot] = std::move(dlg);
  // What it says while it starts (Save As, a refusal) is said as its own.
  ActingAs acting(session);
  session->Create([this](CDialog& d) { ended(d); });
  return true;
}

void BatchRun::ended(CDialog& d) {
  auto& dlg = static_cast<CDownloadDlg&>(d);
  ActingAs acting(&dlg);
  AfxGetApp()->FlushProfile();
  auto it = std::find_if(m_sessions.begin(), m_sessions.end(), [&](const auto& s) { return s.second.get() == &dlg; });
  if (dlg.m_pausedInLine && !m_stopped && it != m_sessions.end()) {
    // Paused: back in line at its place, started again when resumed.
    ui().statusLine("Paused; it keeps its place in line.");
    m_waiting.insert(it->first);
  } else {
    int status = sessionStatus(dlg);
    for (const auto& line : endingLines(dlg, status, m_stopped)) ui().statusLine(line);
    m_statuses.push_back(status);
  }
  if (it == m_sessions.end()) return;
  std::string slot = it->first;
  // Let go of from the event loop: the session is still inside its own handler here. Its
  // lease goes with it, and the next one may start.
  CallLater(0, [this, slot] {
    m_sessions.erase(slot);
    startDue(false);
    finishIfDone();
  });
}

std::string BatchRun::onControl(const std::string& word, const std::string& slot) {
  if (!m_waiting.count(slot)) return "error it does not run here";
  if (word == kTurnWord) {
    CallLater(0, [this] { startDue(true); });
    return "ok";
  }
  auto action = controlActionOf(word);
  if (!action) return "error unknown request";
  switch (*action) {
    case ControlAction::Pause:
      if (pausedInLine(slot)) return "ok already paused";
      pauseInLine(slot, false);
      return "ok paused";
    case ControlAction::Resume: {
      bool paused = pausedInLine(slot);
      resumeInLine(slot);
      // Its turn comes in the line's order (Start now may have been said): the batch looks
      // from the event loop.
      CallLater(0, [this] { startDue(true); });
      return paused ? "ok resumed" : "ok not paused";
    }
    case ControlAction::Cancel:
      // Queued, with nobody to start it.
      QueueEntry::clear(slot, QueueValue::Batch);
      m_waiting.erase(slot);
      m_statuses.push_back(2);
      CallLater(0, [this] { finishIfDone(); });
      return "ok cancelled; the entry is kept";
    case ControlAction::Forget:
      QueueEntry::remove(slot);
      m_waiting.erase(slot);
      m_statuses.push_back(1);
      CallLater(0, [this] { finishIfDone(); });
      return "ok removed";
  }
  return "error unknown request";
}

void BatchRun::finishIfDone() {
  if (m_loop && m_sessions.empty() && ((m_waiting.empty() && m_elsewhere.empty()) || m_stopped)) {
    m_loop->exit();
    m_loop = nullptr;
  }
}
