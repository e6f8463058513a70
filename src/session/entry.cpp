// The session's queue entry: its slot, loading it for a resume, and removing it.
#include "platform/app.h"
#include "platform/services.h"
#include "session/download_dlg.h"
#include "settings/options.h"

bool CDownloadDlg::allocateQueueSlot() {
  m_slot = m_lease.allocate();
  return !m_slot.empty();
}

bool CDownloadDlg::readQueueEntry(bool showMessages) {
  m_slot = m_url.substr(1);
  QueueEntry e = QueueEntry::load(m_slot);
  m_url = e.url;
  m_localPath = e.localPath;
  m_lastModified = e.lastModified;
  m_startOffset = e.start;
  m_stupidServer = e.stupidServer;
  if (m_stupidServer == 1) {
    m_startOffset = 0;
    setNoResumeNote(false);
  }
  if (m_url.empty()) {
    if (showMessages) AfxMessageBox(res::IDS_NO_RESUME_INFO);
    return false;
  }
  if (!m_lease.take(m_slot)) {
    if (showMessages)
      AfxMessageBox("Request #" + m_slot + " is already being downloaded by another Tarnwick window.\nAborting.");
    m_slot.clear();  // the entry is the other process's: this one leaves nothing of its own
    return false;
  }
  if (e.windowX != -1 || e.windowY != -1) MoveWindow(static_cast<int>(e.windowX), static_cast<int>(e.windowY));
  if (e.minimized) Minimize(true);
  m_startOffset = StepBack(m_startOffset, RollbackBytes());
  return true;
}

void CDownloadDlg::deleteQueueEntry() {
  if (!m_slot.empty()) QueueEntry::remove(m_slot);
}
