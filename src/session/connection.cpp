// Opening and closing a session's connections, and giving up a site.
#include "platform/app.h"
#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"
#include "settings/options.h"
#include "transfer/route.h"
#include "transfer/url.h"

void CDownloadDlg::openConnection() {
  if (connectionOpen()) return;
  m_animFrame1 = 0;
  m_bytesThisConn = 0;
  m_bytesAtSample = 0;
  m_totalSize = 0;
  m_headers.clear();
  if (m_useMirrorList)
    SetWindowText(Format("Trying: %s", m_server.c_str()));
  else
    m_stateIcon.SetIcon(res::IDI_WORKING);

  // The output file, positioned at the resume point.
  std::string why;
  auto outFile = OpenOutputFile(m_localPath, m_startOffset, why);
  if (!outFile) {
    m_transfer.reset();
    AfxMessageBox(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), m_localPath + "\n  " + why));
    EndDialog(IDOK);
    return;
  }
  // The handlers of the transfer being replaced may still be running: it lives until they end.
  m_transfer = makeTransfer(*this, *this, std::move(outFile));
  int error = 0, messageId = 0;
  if (!m_transfer->createSockets(error, messageId)) {
    socketFailed(error, LoadString(messageId));
    return;
  }

  if (!SetTimer(1, 200)) {
    m_noTimer = 1;
    AfxMessageBox(res::IDS_NO_TIMERS);
  }

  // Direct, or through the proxy of this service: chosen once for the whole connection.
  bool ftp = m_service == svc::kFtp;
  auto route = chooseRoute(*this, ConfigString(ftp ? kProxyFTP : kProxy));
  if (!route) {
    AfxMessageBox(res::IDS_PROXY_UNRECOGNIZED);
    EndDialog(IDOK);
    WinExec("TARNWICK.EXE /CONFIG");
    closeConnections();
    return;
  }
  std::string status = "Connecting to:  " + m_server;
  if (route->viaProxy) status += " (via " + route->host + ")";
  m_headers = status + "\r\n\r\n";
  m_urlText.SetWindowText(status);

  m_transfer->setTimeout(static_cast<int>(ConfigInt(kTimeout)));
  if (!m_transfer->connect(*route, error)) {
    failConnect(error, route->host);
    return;
  }
  keepEntry();
  m_line1Text.SetWindowText(m_localPath);
  m_lastSampleTick = GetTickCount();
}

// The entry names the address and the file again: after a failed first connect removed
// it, a resume in the same window or "resume later" must find it whole.
void CDownloadDlg::keepEntry() {
  QueueEntry::write(m_slot, QueueValue::Get, m_url);
  if (!m_localPath.empty() && !m_slot.empty()) QueueEntry::write(m_slot, QueueValue::Local, m_localPath);
}

// A socket that cannot be made ends the session.
void CDownloadDlg::socketFailed(int error, const std::string& text) {
  m_lastSockError = error;
  showSocketError(error, text);
  closeConnections();
  EndDialog(IDOK);
}

// A connect that failed, at once or after being in progress.
void CDownloadDlg::failConnect(int error, const std::string& serverName, const std::string& message) {
  if (m_useMirrorList) {
    abandonSite(false, true);
    return;
  }
  pauseWithError(error, serverName, message);
  // An entry with bytes on disk, or one resumed from the queue, stays for a later resume.
  bool hasBytes = m_startOffset > 0 || QueueEntry::readInt(m_slot, QueueValue::Start, 0) > 0;
  abandonSite(false, m_fromQueue == 0 && !hasBytes);
}

// The connection could not be made: say so and pause, for the user to try again.
void CDownloadDlg::pauseWithError(int error, const std::string& serverName, const std::string& message) {
  m_lastSockError = error;
  m_urlText.SetWindowText("Err:  " + serverName);
  if (!message.empty())
    AfxMessageBox(message);
  else
    showSocketError(m_lastSockError, FormatString(LoadString(res::IDS_CANNOT_CONNECT), serverName));
  m_paused = 0;
  togglePause();
}

void CDownloadDlg::closeConnections() {
  if (m_transfer) m_transfer->close();
  KillTimer(1);
  AfxGetApp()->FlushProfile();
}

// Closes this connection and opens the next one at once.
void CDownloadDlg::reopenConnection() {
  closeConnections();
  openConnection();
}

void CDownloadDlg::abandonSite(bool closeWindow, bool removeEntry) {
  if (m_mirrorFile) {
    closeConnections();
    PostMessage(WM_TRYNEXTSITE, 0, 0);
    return;
  }
  if (removeEntry) deleteQueueEntry();
  if (closeWindow) EndDialog(IDOK);
}

void showSocketError(int code, const std::string& prefix) {
  AfxMessageBox(prefix + "\n\nSocket Error:\n  " + socketErrorText(code), MB_OK);
}
