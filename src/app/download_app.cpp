// Start-up: one job per process, chosen from the whole command line.
#include "app/download_app.h"

#include <cctype>

#include "platform/services.h"
#include "queue/queue_store.h"
#include "resources/ids.h"
#include "session/download_dlg.h"
#include "settings/options.h"
#include "ui/config_dlg.h"
#include "ui/drop_wnd.h"
#include "ui/resume_dlg.h"

namespace {
std::string upperTrimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  std::string out = s.substr(b, e - b);
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Exit status of a session: 0 complete, 2 entry left for a later resume, 1 otherwise.
int sessionStatus(CDownloadDlg& dlg) {
  if (dlg.m_finished) return 0;
  if (!dlg.m_slot.empty() && QueueEntry::exists(dlg.m_slot)) return 2;
  return 1;
}
}  // namespace

bool CDownloadApp::InitInstance() {
  SetRegistryKey("Quillfern");
  std::string cmd = upperTrimmed(m_lpCmdLine);
  m_exitCode = 0;
  if (cmd == "/RESUMEDLG" || cmd == "-RESUMEDLG") {
    CResumeDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
  } else if (cmd == "/RESUME" || cmd == "-RESUME") {
    if (!resumeQueuedDownloads()) AfxMessageBox(res::IDS_NOTHING_TO_RESUME);
  } else if (cmd == "/DROP" || cmd == "-DROP") {
    CDropWnd dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
  } else if (cmd == "/CONFIG" || cmd == "-CONFIG") {
    runConfig();
  } else {
    runSession();
  }
  m_pMainWnd = nullptr;
  return false;
}

void CDownloadApp::runConfig() {
  Options o = ReadOptions();
  CConfigDlg dlg;
  dlg.m_errorBeep = o.errorBeep;
  dlg.m_doneBeep = o.doneBeep;
  dlg.m_exitWhenDone = o.exitWhenDone;
  dlg.m_resumeSerial = o.resumeSerial;
  dlg.m_rollback = o.rollback;
  dlg.m_proxy = o.proxy;
  dlg.m_proxyFtp = o.proxyFtp;
  dlg.m_email = o.email;
  m_pMainWnd = &dlg;
  if (dlg.DoModal() == IDOK) {
    o.errorBeep = dlg.m_errorBeep;
    o.doneBeep = dlg.m_doneBeep;
    o.exitWhenDone = dlg.m_exitWhenDone;
    o.resumeSerial = dlg.m_resumeSerial;
    o.rollback = dlg.m_rollback;
    o.proxy = dlg.m_proxy;
    o.proxyFtp = dlg.m_proxyFtp;
    o.email = dlg.m_email;
    WriteOptions(o);
  }
}

void CDownloadApp::runSession() {
  CDownloadDlg dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();
  if (m_lpCmdLine.empty()) {
    m_exitCode = 1;
    return;
  }
  FlushProfile();
  m_exitCode = sessionStatus(dlg);
}

void CDownloadApp::OnTerminate() {
  // Cancel answered Yes: the entry and the partial file stay.
  if (auto* dlg = dynamic_cast<CDownloadDlg*>(m_pMainWnd)) {
    dlg->closeConnections();
    m_exitCode = sessionStatus(*dlg);
    dlg->releaseLease();
  } else {
    m_exitCode = 1;
  }
}
