// What each outcome of a transfer means to the user and to the queue entry: the one place
// that maps them to message boxes, pauses and endings.
#include "platform/app.h"
#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"
#include "settings/options.h"
#include "transfer/url.h"
#include "ui/password_dlg.h"

bool CDownloadDlg::transferOutcome(Outcome what, int code, const std::string& text) {
  switch (what) {
    case Outcome::Finished: onConnectionClosed(0); return true;
    case Outcome::Broken:
      // A connection lost after the window has ended or the file is complete changes nothing.
      if (code == 0 && (m_finished || IsEnded())) return false;
      onConnectionClosed(code != 0 ? code : WSAECONNRESET);
      return true;
    case Outcome::ConnectFailed: failConnect(code, text); return true;
    case Outcome::TlsFailed:
      // Nothing was sent: handled as a connect that failed.
      failConnect(0, m_server, "Secure connection to " + m_server + " failed:\n  " + text);
      return true;
    case Outcome::TunnelRefused: {
      const Route& proxy = m_transfer->route();
      std::string why = code == 0 ? "closed the connection" : Format("answered %d %s", code, text.c_str());
      failConnect(0, m_server,
                  Format("The proxy %s:%u refused the tunnel to %s:%u:\n  %s", proxy.host.c_str(), proxy.port,
                         m_server.c_str(), m_port, why.c_str()));
      return true;
    }
    case Outcome::DataConnectFailed: pauseWithError(code, text); return true;
    case Outcome::SocketFailed: socketFailed(code, text); return true;
    case Outcome::CommandFailed:
      m_lastSockError = code;
      m_paused = 0;
      togglePause();
      m_urlText.SetWindowText("ERROR!");
      return true;
    case Outcome::WriteFailed:
      // Nothing more is read or written while the box is open; the entry keeps the last good block.
      closeConnections();
      AfxMessageBox(FormatString(LoadString(res::IDS_WRITE_FAILED), m_localPath), MB_OK | MB_ICONEXCLAMATION);
      EndDialog(IDOK);
      return true;
    case Outcome::Reconnect: reopenConnection(); return true;
    case Outcome::Redirected:
      if (prepareDownload(!m_useMirrorList)) return true;
      closeConnections();
      abandonSite(true, true);
      return false;
    case Outcome::TooManyRedirects:
      closeConnections();
      if (!m_useMirrorList) AfxMessageBox("Too many redirections for:\n  " + displayUrl(m_url) + "\nAborting.");
      abandonSite(true, true);
      return true;
    case Outcome::Refused: replyRefused(code, text); return true;
    case Outcome::BadReply:
      // Nothing of it is taken for the file; the entry stays for a later try.
      closeConnections();
      AfxMessageBox("Bad reply from " + m_server + ":\n  " + text, MB_OK | MB_ICONEXCLAMATION);
      connectionBroken();
      return true;
    case Outcome::FtpRefused:
      closeConnections();
      if (!m_useMirrorList) AfxMessageBox(text);
      askResumeLaterAndGiveUp();
      return true;
    case Outcome::FtpLoginRefused: return ftpLoginRefused(text);
    case Outcome::BadPassiveReply:
      closeConnections();
      AfxMessageBox(res::IDS_PASV_FAILED);
      deleteQueueEntry();
      EndDialog(IDOK);
      return true;
    case Outcome::NeedCredentials: return askCredentials(text);
    case Outcome::AuthUnsupported:
      closeConnections();
      if (!m_useMirrorList) AfxMessageBox(res::IDS_ONLY_BASIC_AUTH);
      askResumeLaterAndGiveUp();
      return true;
    case Outcome::FileChanged:
      // Fetched again from its start on a new connection.
      m_paused = 1;
      reopenConnection();
      m_paused = 0;
      return true;
  }
  return false;
}

void CDownloadDlg::transferNote(Note what, const std::string& text) {
  switch (what) {
    case Note::Status: m_urlText.SetWindowText(text); break;
    case Note::NoResume: setNoResumeNote(false); break;
    case Note::ServerNoRange:
      QueueEntry::write(m_slot, QueueValue::StupidServer, 1);
      setNoResumeNote(false);
      break;
    case Note::Validator: QueueEntry::write(m_slot, QueueValue::LastMod, m_lastModified); break;
    case Note::Receiving:
      if (m_useMirrorList) m_stateIcon.SetIcon(res::IDI_WORKING);
      break;
  }
}

void CDownloadDlg::transferWrote() {
  QueueEntry::write(m_slot, QueueValue::Start, m_startOffset + m_bytesThisConn);
  if (m_noTimer) updateProgress(true, true);
}

// An HTTP error reply: a missing file, a refused request, or a server in trouble.
void CDownloadDlg::replyRefused(int code, const std::string& reason) {
  closeConnections();
  bool show = !m_useMirrorList;
  if (code == 404 || code == 410) {
    if (show) {
      AfxMessageBox(FormatString(LoadString(res::IDS_NOT_FOUND), displayUrl(m_url)));
      deleteQueueEntry();
    }
  } else if (code <= 499) {
    if (show) {
      deleteQueueEntry();
      AfxMessageBox(Format(LoadString(res::IDS_SERVER_ERROR).c_str(), code, reason.c_str()));
    }
  } else if (show && AfxMessageBox(Format(LoadString(res::IDS_SERVER_ERROR_RESUME_LATER).c_str(), code, reason.c_str()),
                                   MB_YESNO) == IDNO) {
    deleteQueueEntry();
  }
  abandonSite(true, false);
}

// Basic authorization: asks for a login and tries again with it.
bool CDownloadDlg::askCredentials(const std::string& realm) {
  closeConnections();
  CPasswordDlg dlg;
  dlg.m_prompt = "Enter username and password for " + realm + " at " + m_server;
  if (dlg.DoModal() == IDOK) {
    m_user = dlg.m_user;
    m_password = dlg.m_password;
    m_paused = 1;
    openConnection();
    m_paused = 0;
    return true;
  }
  askResumeLaterAndGiveUp();
  return false;
}

// The FTP server refused the login: true when a new one is to be tried.
bool CDownloadDlg::ftpLoginRefused(const std::string& reply) {
  if (m_useMirrorList) {
    closeConnections();
    abandonSite(true, false);
    return false;
  }
  if (AfxMessageBox(reply + "\r\n\r\nDo you need to change your username/password?", MB_YESNO) == IDYES) {
    CPasswordDlg dlg;
    dlg.m_prompt = "Enter username and password for FTP'ing from server " + m_server +
                   "\n(Try your real mail address as password.)";
    dlg.m_user = m_user;
    dlg.m_password = m_password;
    if (dlg.DoModal() == IDOK) {
      m_user = dlg.m_user;
      m_password = dlg.m_password;
      if (connectionOpen()) return true;
    }
  }
  askResumeLaterAndGiveUp();
  return false;
}

void CDownloadDlg::askResumeLaterAndGiveUp() {
  if (!m_useMirrorList && AfxMessageBox(res::IDS_RESUME_LATER, MB_YESNO) == IDNO) dropEntryAndFile();
  abandonSite(true, false);
}

void CDownloadDlg::dropEntryAndFile() {
  deleteQueueEntry();
  closeConnections();
  if (!m_localPath.empty()) DeleteFile(m_localPath);
}
