// Another process (the overview, `--pause`, `--remove`) asks this session to pause, resume,
// or end keeping or forgetting its entry, over the control socket named by its lease.
#include "queue/overview.h"
#include "queue/scheduler.h"
#include "session/download_dlg.h"

#include <functional>
#include <map>

namespace {
// The process's one socket, named by its lease, serves every session it runs (a batch runs
// many): a request names the entry ("pause 05") and reaches the session running it.
struct ControlHub {
  ControlServer server;
  bool open = false;
  bool keep = false;  // a batch runs: the socket stays between its sessions
  std::map<std::string, CDownloadDlg*> sessions;
  // The batch's answer for its entries that no session runs now (waiting, paused in line).
  std::function<std::string(const std::string&, const std::string&)> others;

  std::string dispatch(const std::string& request) {
    auto blank = request.find(' ');
    std::string word = request.substr(0, blank), slot = blank == std::string::npos ? "" : request.substr(blank + 1);
    // A request without a slot (an older client) is for the one session there is.
    auto it = slot.empty() && sessions.size() == 1 ? sessions.begin() : sessions.find(slot);
    if (it == sessions.end()) return others && !slot.empty() ? others(word, slot) : "error it does not run here";
    // What the session says or asks now is its own.
    ActingAs acting(it->second);
    if (word == kTurnWord) return it->second->turnMayHaveCome();
    return it->second->onControl(word);
  }
};

ControlHub& hub() {
  static ControlHub h;
  return h;
}

void openHub(ControlHub& h) {
  if (h.open) return;
  std::string path = controlPathOf(ownLease());
  h.open = !path.empty() && h.server.listen(path, [](const std::string& r) { return hub().dispatch(r); });
}
}  // namespace

void CDownloadDlg::listenForControl() {
  if (m_controlOpen || m_slot.empty()) return;
  ControlHub& h = hub();
  openHub(h);
  m_controlOpen = h.open;
  if (m_controlOpen) h.sessions[m_slot] = this;
}

void CDownloadDlg::stopListening() {
  if (!m_controlOpen) return;
  m_controlOpen = false;
  ControlHub& h = hub();
  std::erase_if(h.sessions, [this](const auto& s) { return s.second == this; });
  // The last session gone, a request from now on finds nobody, and is told so.
  if (h.sessions.empty() && !h.keep) {
    h.server.close();
    h.open = false;
  }
}

void CDownloadDlg::keepControlOpen(bool keep, std::function<std::string(const std::string&, const std::string&)> others) {
  ControlHub& h = hub();
  h.keep = keep;
  h.others = keep ? std::move(others) : nullptr;
  if (keep && h.others) openHub(h);
  if (!keep && h.sessions.empty() && h.open) {
    h.server.close();
    h.open = false;
  }
}

std::string CDownloadDlg::turnMayHaveCome() {
  // Claimed from the event loop, as its own look would.
  if (m_waitingTurn && !m_paused && !IsEnded())
    m_turnTimer.start(0, [this] {
      ActingAs acting(this);
      if (m_waitingTurn && !m_paused) startWhenItsTurn();
    }, true);
  return "ok";
}

std::string CDownloadDlg::onControl(const std::string& request) {
  auto action = controlActionOf(request);
  if (!action) return "error unknown request";
  if (m_finished || IsEnded()) return "error it has finished";
  // A question on screen is the user's: its answer decides what comes next.
  if (m_job.asking()) return "error it is asking the user a question";
  switch (*action) {
    case ControlAction::Pause:
      if (m_inBatch && !m_waitingTurn) {
        // A batch's session waits paused in the line, as its waiting entries do: it keeps its
        // place, holds back nobody, and starts again only when resumed.
        m_job.setEndReason("Paused on request.");
        closeConnections();
        keepEntry();
        pauseInLine(m_slot, true);
        m_pausedInLine = true;
        EndDialog(IDCANCEL);
        return "ok paused";
      }
      if (m_paused) return "ok already paused";
      m_stoppedByUser = true;
      togglePause();
      m_job.setEndReason("Paused on request.");
      return "ok paused";
    case ControlAction::Resume:
      if (!m_paused) {
        turnMayHaveCome();  // Start now may have been said
        return "ok not paused";
      }
      // The connection opens from the event loop: what it may have to say is not said here.
      m_controlTimer.defer([this] {
        ActingAs acting(this);
        if (m_paused && !IsEnded()) togglePause();
      });
      return "ok resumed";
    case ControlAction::Cancel:
      m_job.setEndReason("Cancelled.");
      m_stoppedByUser = true;
      closeConnections();
      keepEntry();
      EndDialog(IDCANCEL);
      return "ok cancelled; the entry is kept";
    case ControlAction::Forget:
      m_job.setEndReason("Cancelled and removed.");
      m_stoppedByUser = true;
      closeConnections();
      deleteQueueEntry();
      EndDialog(IDCANCEL);
      return "ok removed";
  }
  return "error unknown request";
}
