// The session's queue entry: its slot, loading it for a resume, and removing it.
#include "platform/app.h"
#include "platform/services.h"
#include "session/download_dlg.h"
#include "settings/options.h"

bool CDownloadDlg::allocateQueueSlot() {
  m_slot = m_lease.allocate();
  m_job.m_slot = m_slot;
  if (m_slot.empty()) tell(queueFullMessage());
  return !m_slot.empty();
}

// Fetching again what a queued entry fetches (the same address into the same file) goes on
// with that entry rather than filling a new slot: a command run again after a break, or
// by a scheduler, resumes it.
void CDownloadDlg::takeOverTwinEntry() {
  if (m_slot.empty()) return;
  auto twin = m_lease.takeOver(m_d.m_url, m_d.m_localPath);
  if (!twin) return;
  m_slot = twin->slot;
  m_job.m_slot = m_slot;
  m_job.restore(*twin, RollbackBytes());
  if (m_job.stupidServer() == 1) setNoResumeNote(false);
}

bool CDownloadDlg::readQueueEntry(bool showMessages) {
  m_slot = m_d.m_url.substr(1);
  QueueEntry e = QueueEntry::load(m_slot);
  m_d.m_url = e.url;
  m_d.m_localPath = e.localPath;
  // Options given with the number (fresh cookies, say) replace the kept ones.
  RequestOptions kept = decodeRequestOptions(e.request);
  bool leftHttps = kept.leftHttps || m_d.m_options.leftHttps;
  if (m_d.m_options.empty()) m_d.m_options = kept;
  m_d.m_options.leftHttps = leftHttps;  // where a redirect led stays barred to .netrc
  m_checksum = e.checksum;
  m_job.m_checksumGiven = !m_checksum.empty();
  m_nameFromServer = e.nameFromServer;
  m_proposedName = e.name;
  m_newFile = e.newFile;
  m_job.restore(e, RollbackBytes());
  if (m_job.stupidServer() == 1) setNoResumeNote(false);
  if (m_d.m_url.empty()) {
    if (showMessages) tell(LoadString(res::IDS_NO_RESUME_INFO));
    return false;
  }
  if (!m_lease.take(m_slot)) {
    if (showMessages)
      tell("Request #" + m_slot + " is already being downloaded by another Tarnwick window.\nAborting.");
    m_slot.clear();  // the entry is the other process's: this one leaves nothing of its own
    return false;
  }
  // A launcher that claimed its turn handed it over: it starts at once.
  if (m_lease.handedOver()) m_turnClaimed = true;
  if (e.windowX != -1 || e.windowY != -1) MoveWindow(static_cast<int>(e.windowX), static_cast<int>(e.windowY));
  if (e.minimized) Minimize(true);
  m_job.m_slot = m_slot;
  return true;
}

void CDownloadDlg::deleteQueueEntry() {
  if (!m_slot.empty()) QueueEntry::remove(m_slot);
}
