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
#include "queue/queue_store.h"
#include "queue/scheduler.h"
#include "session/download_dlg.h"
#include "session/ending.h"
#include "settings/options.h"
#include "transfer/url.h"

namespace {
// How often the waiting ones ask whether their turn has come (as a waiting copy does).
constexpr int kTurnPollMs = 300;

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
  if (m_mode == Mode::Sessions) CDownloadDlg::keepControlOpen(true);
}

BatchRun::~BatchRun() {
  if (m_mode == Mode::Sessions) CDownloadDlg::keepControlOpen(false);
  releaseBatch(m_id);
}

std::vector<int> BatchRun::run() {
  CEventLoop loop;
  m_loop = &loop;
  m_tick.start(kTurnPollMs, [this] { startDue(true); });
  startDue(true);
  finishIfDone();
  if (m_loop) loop.exec();
  m_loop = nullptr;
  m_tick.stop();
  // One sound for the whole batch, not one per file.
  if (!m_stopped && !m_statuses.empty() && ConfigInt(kDoneBeep) != 0) MessageBeep(false);
  // What never started stays queued for a later /RESUME.
  m_statuses.insert(m_statuses.end(), m_waiting.size(), 2);
  m_waiting.clear();
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
  std::vector<std::tuple<bool, std::int64_t, std::string>> due;
  std::vector<std::string> gone;
  for (const auto& slot : m_waiting) {
    auto t = turns.find(slot);
    if (t == turns.end()) {
      gone.push_back(slot);
      continue;
    }
    due.emplace_back(!(now.count(slot) && number(now[slot]) != 0), number(t->second), slot);
  }
  // Out of line without this batch: removed, or started by hand in another process.
  for (const auto& slot : gone) {
    m_waiting.erase(slot);
    m_statuses.push_back(QueueEntry::exists(slot) ? 2 : 1);
  }
  std::sort(due.begin(), due.end());
  m_line.clear();
  for (auto& [later, turn, slot] : due) m_line.push_back(std::move(slot));
}

void BatchRun::startDue(bool reread) {
  if (m_stopped) return;
  // The whole line is read again on the timer only: a download that ends asks for the next
  // one without reading the queue.
  if (reread) readLine();
  while (!m_line.empty()) {
    const std::string slot = m_line.front();
    if (!m_waiting.count(slot)) {
      m_line.pop_front();
      continue;
    }
    // As many of ours run as may: no need to ask the store (the timer still asks, for Start now
    // and for room our paused ones leave).
    if (!reread && m_mode == Mode::Sessions && static_cast<int>(m_sessions.size()) >= maxActive()) break;
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
  dlg->m_job.useConnections(pooledConnectionFactory(m_pool));
  CDownloadDlg* session = dlg.get();
  m_sessions[slot] = std::move(dlg);
  session->Create([this](CDialog& d) { ended(d); });
  return true;
}

void BatchRun::ended(CDialog& d) {
  auto& dlg = static_cast<CDownloadDlg&>(d);
  AfxGetApp()->FlushProfile();
  int status = sessionStatus(dlg);
  for (const auto& line : endingLines(dlg, status, m_stopped)) ui().statusLine(line);
  m_statuses.push_back(status);
  auto it = std::find_if(m_sessions.begin(), m_sessions.end(), [&](const auto& s) { return s.second.get() == &dlg; });
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

void BatchRun::finishIfDone() {
  if (m_loop && m_sessions.empty() && (m_waiting.empty() || m_stopped)) {
    m_loop->exit();
    m_loop = nullptr;
  }
}
