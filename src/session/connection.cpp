// Opening and closing a session's connections, and giving up a site.
#include "settings/options.h"
#include "platform/app.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "session/download_dlg.h"
#include "transfer/url.h"

void CDownloadDlg::openConnection() {
  if (m_ctrlSocket) return;
  m_animFrame1 = 0;
  m_protoState = 0;
  m_bytesThisConn = 0;
  m_bytesAtSample = 0;
  m_totalSize = 0;
  m_dropConnection = 0;
  m_reconnectOnClose = 0;
  m_redirected = 0;
  m_chunked = false;
  m_peerClosed = false;
  m_chunkState = 0;
  m_chunkLeft = 0;
  m_chunkLine.clear();
  // A reply cut off on an earlier connection must not swallow this one's greeting.
  s_ftpMultiLine = 0;
  s_ftpMultiCode = 0;
  m_headers.clear();
  if (m_useMirrorList)
    SetWindowText(Format("Trying: %s", m_server.c_str()));
  else
    m_stateIcon.SetIcon(172);

  // The output file, positioned at the resume point.
  m_outFile = std::make_unique<CFile>();
  if (!m_outFile->Open(m_localPath, CFile::Mode::WriteShareRead)) {
    m_outFile.reset();
    AfxMessageBox(FormatString(LoadString(107), m_localPath));
    EndDialog(IDOK);
    return;
  }
  if (!m_outFile->Seek(m_startOffset)) {
    m_startOffset = 0;
    m_outFile->Seek(0);
  }

  bool ftp = m_service == 1;
  if (ftp) {
    m_listenSocket = std::make_unique<CSessionSocket>(this, 2);
    if (!m_listenSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT)) {
      m_lastSockError = CAsyncSocket::GetLastError();
      CSessionSocket::showSocketError(m_lastSockError, LoadString(114));
      closeConnections();
      EndDialog(IDOK);
      return;
    }
    m_listenSocket->SetSockOpt(kSoReuseAddr, 1);
    m_listenSocket->SetSockOpt(kSoKeepAlive, 1);
    if (!m_listenSocket->Listen(5)) {
      m_lastSockError = CAsyncSocket::GetLastError();
      CSessionSocket::showSocketError(m_lastSockError, LoadString(129));
      closeConnections();
      EndDialog(IDOK);
      return;
    }
  }

  m_ctrlSocket = std::make_unique<CSessionSocket>(this);
  if (!m_ctrlSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CLOSE)) {
    m_lastSockError = CAsyncSocket::GetLastError();
    CSessionSocket::showSocketError(m_lastSockError, LoadString(114));
    closeConnections();
    EndDialog(IDOK);
    return;
  }
  std::string proxyText = ConfigString(ftp ? kProxyFTP : kProxy);
  m_ctrlSocket->setKind(ftp ? 1 : 0);
  m_ctrlSocket->SetSockOpt(kSoReuseAddr, 1);
  m_ctrlSocket->SetSockOpt(kSoKeepAlive, 1);

  if (!SetTimer(1, 200)) {
    m_noTimer = 1;
    AfxMessageBox(120);
  }

  // Direct, or through the proxy of this service.
  std::string host = m_server;
  unsigned port = m_port;
  std::string status = "Connecting to:  " + m_server;
  if (!proxyText.empty()) {
    int kind;
    std::string proxyServer, object;
    std::uint16_t proxyPort = 0;
    if (!parseUrl(proxyText, kind, proxyServer, object, proxyPort) &&
        !parseUrl((ftp ? "ftp://" : "http://") + proxyText, kind, proxyServer, object, proxyPort)) {
      AfxMessageBox(111);
      EndDialog(IDOK);
      WinExec("TARNWICK.EXE /CONFIG");
      closeConnections();
      return;
    }
    if (proxyPort == 0) proxyPort = ftp ? 21 : 80;
    host = proxyServer;
    port = proxyPort;
    status += " (via " + proxyServer + ")";
  }
  m_headers = status + "\r\n\r\n";
  m_urlText.SetWindowText(status);

  if (!m_ctrlSocket->Connect(host, port)) {
    int err = CAsyncSocket::GetLastError();
    if (err != WSAEWOULDBLOCK) {
      failConnect(err, m_server);
      return;
    }
  }
  AfxGetApp()->WriteProfileString(kSectionFileQueue, queueName("Get"), m_url);
  m_line1Text.SetWindowText(m_localPath);
  m_lastSampleTick = GetTickCount();
}

// A connect that failed, at once or after being in progress.
void CDownloadDlg::failConnect(int error, const std::string& serverName) {
  if (m_useMirrorList) {
    abandonSite(false, true);
    return;
  }
  m_lastSockError = error;
  m_urlText.SetWindowText("Err:  " + serverName);
  CSessionSocket::showSocketError(m_lastSockError, FormatString(LoadString(108), serverName));
  m_paused = 0;
  togglePause();
  // An entry with bytes on disk, or one resumed from the queue, stays for a later resume.
  bool hasBytes = m_startOffset > 0 || AfxGetApp()->GetProfileInt(kSectionFileQueue, queueName("Start"), 0) > 0;
  abandonSite(false, m_fromQueue == 0 && !hasBytes);
}

LRESULT CDownloadDlg::onConnectResult(WPARAM wParam, LPARAM) {
  if (wParam != 0 && m_ctrlSocket) failConnect(static_cast<int>(wParam), m_server);
  return 0;
}

void CDownloadDlg::closeConnections() {
  if (m_outFile) {
    m_outFile->Close();
    m_outFile.reset();
  }
  for (auto* s : {&m_ctrlSocket, &m_dataSocket, &m_listenSocket}) {
    if (*s) {
      (*s)->Close();
      s->reset();
    }
  }
  KillTimer(1);
  AfxGetApp()->FlushProfile();
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

bool CDownloadDlg::writeBlock(const char* data, std::int64_t n) {
  if (n > 0 && !m_outFile->Write(data, static_cast<std::size_t>(n))) {
    // Nothing more is read or written while the box is open; the entry keeps the last good block.
    closeConnections();
    AfxMessageBox(FormatString(LoadString(113), m_localPath), MB_OK | MB_ICONEXCLAMATION);
    EndDialog(IDOK);
    return false;
  }
  AfxGetApp()->WriteProfileInt(kSectionFileQueue, queueName("Start"), m_startOffset + m_bytesThisConn);
  if (m_noTimer) updateProgress(true, true);
  return true;
}
