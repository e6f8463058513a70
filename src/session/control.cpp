// Another process (the overview, `--pause`, `--remove`) asks this session to pause, resume,
// or end keeping or forgetting its entry, over the control socket named by its lease.
#include "queue/overview.h"
#include "session/download_dlg.h"

void CDownloadDlg::listenForControl() {
  if (m_controlOpen || m_slot.empty()) return;
  std::string path = controlPathOf(ownLease());
  m_controlOpen = !path.empty() && m_control.listen(path, [this](const std::string& r) { return onControl(r); });
}

std::string CDownloadDlg::onControl(const std::string& request) {
  auto action = controlActionOf(request);
  if (!action) return "error unknown request";
  if (m_finished || IsEnded()) return "error it has finished";
  // A question on screen is the user's: its answer decides what comes next.
  if (m_job.asking()) return "error it is asking the user a question";
  switch (*action) {
    case ControlAction::Pause:
      if (m_paused) return "ok already paused";
      togglePause();
      m_job.setEndReason("Paused on request.");
      return "ok paused";
    case ControlAction::Resume:
      if (!m_paused) return "ok not paused";
      // The connection opens from the event loop: what it may have to say is not said here.
      m_controlTimer.defer([this] {
        if (m_paused && !IsEnded()) togglePause();
      });
      return "ok resumed";
    case ControlAction::Cancel:
      m_job.setEndReason("Cancelled.");
      closeConnections();
      keepEntry();
      EndDialog(IDCANCEL);
      return "ok cancelled; the entry is kept";
    case ControlAction::Forget:
      m_job.setEndReason("Cancelled and removed.");
      closeConnections();
      deleteQueueEntry();
      EndDialog(IDCANCEL);
      return "ok removed";
  }
  return "error unknown request";
}
