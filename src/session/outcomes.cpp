// What each outcome of the download job means to the user and to the queue entry: the one
// place that maps them to message boxes, pauses and endings. Called from the event loop,
// never inside a socket handler.
#include "platform/app.h"
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/ui.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "engine/retry.h"
#include "session/download_dlg.h"
#include "settings/env_proxy.h"
#include "settings/options.h"
#include "transfer/route.h"
#include "transfer/url.h"
#include "ui/password_dlg.h"

void CDownloadDlg::jobOutcome(const ConnectionResult& r) {
  ActingAs acting(this);  // what it says is its own, whichever window spoke last
  if (IsEnded()) return;
  if (auto failure = failureOf(r)) m_failure = *failure;
  const int code = r.code;
  const std::string& text = r.text;
  switch (r.what) {
    case Outcome::Finished: onConnectionClosed(0); return;
    case Outcome::Broken:
      // A connection lost after the window has ended or the file is complete changes nothing.
      if (code == 0 && m_finished) return;
      onConnectionClosed(code != 0 ? code : WSAECONNRESET);
      return;
    case Outcome::GaveUp:
      m_urlText.SetWindowText(text);
      // The top line is printed where progress is: the last line need not say it again.
      m_job.setEndReason(text, !term::quiet());
      connectionBroken();
      return;
    case Outcome::NextSite: abandonSite(false, false); return;
    case Outcome::ConnectFailed: failConnect(code, text); return;
    case Outcome::TlsFailed:
      // Nothing was sent: handled as a connect that failed.
      failConnect(0, m_d.m_server, "Secure connection to " + m_d.m_server + " failed:\n  " + text);
      return;
    case Outcome::TunnelRefused: {
      const Route* proxy = m_job.route();
      std::string why = code == 0 ? (text.empty() ? std::string("closed the connection") : text)
                                  : Format("answered %d %s", code, text.c_str());
      failConnect(0, m_d.m_server,
                  Format("The proxy %s:%u refused the tunnel to %s:%u:\n  %s", proxy ? proxy->host.c_str() : "",
                         proxy ? proxy->port : 0, m_d.m_server.c_str(), m_d.m_port, why.c_str()));
      return;
    }
    case Outcome::ProxyLoginRefused: proxyLoginRefused(code, text); return;
    case Outcome::DataConnectFailed: pauseWithError(code, text); return;
    case Outcome::SocketFailed: socketFailed(code, text); return;
    case Outcome::CommandFailed:
      m_lastSockError = code;
      m_paused = 0;
      togglePause();
      m_urlText.SetWindowText("ERROR!");
      return;
    case Outcome::WriteFailed:
      // Nothing more is read or written while the box is open; the entry keeps the last good block.
      closeConnections();
      // With the system's reason: a full disk says "No space left on device".
      tell(FormatString(LoadString(res::IDS_WRITE_FAILED),
                        (m_job.streaming() ? std::string("standard output") : m_d.m_localPath) +
                            (r.text.empty() ? std::string() : ": " + r.text)),
           MB_OK | MB_ICONEXCLAMATION);
      EndDialog(IDOK);
      return;
    case Outcome::Reconnect:
    case Outcome::PieceDone:     // the job's own: never delivered
    case Outcome::PieceRefused:  // the job's own: never delivered
    case Outcome::Mismatch:      // the job's own: never delivered
    case Outcome::FileChanged:
    case Outcome::Restart:
    case Outcome::NoRange: reopenConnection(); return;
    case Outcome::Redirected: redirected(); return;
    case Outcome::TooManyRedirects:
      closeConnections();
      if (!m_useMirrorList) tell("Too many redirections for:\n  " + displayUrl(m_d.m_url) + "\nAborting.");
      abandonSite(true, true);
      return;
    case Outcome::Refused: replyRefused(code, text); return;
    case Outcome::ServerBusy:
      // A server in passing trouble: the resume point and the entry stay for a later try.
      if (code >= 500) {
        onConnectionClosed(WSAECONNRESET);
        return;
      }
      replyRefused(code, text);
      return;
    case Outcome::BadReply:
      // Nothing of it is taken for the file; the entry stays for a later try.
      closeConnections();
      tell("Bad reply from " + m_d.m_server + ":\n  " + text, MB_OK | MB_ICONEXCLAMATION);
      connectionBroken();
      return;
    case Outcome::FtpRefused:
      closeConnections();
      if (!m_useMirrorList) tell(text);
      askResumeLaterAndGiveUp(!isTemporary(r));
      return;
    case Outcome::FtpLoginRefused: ftpLoginRefused(text); return;
    case Outcome::BadPassiveReply:
      closeConnections();
      tell(LoadString(res::IDS_PASV_FAILED));
      deleteQueueEntry();
      EndDialog(IDOK);
      return;
    case Outcome::NeedCredentials: askCredentials(text); return;
    case Outcome::AuthUnsupported:
      closeConnections();
      if (!m_useMirrorList) tell(LoadString(res::IDS_ONLY_BASIC_AUTH));
      askResumeLaterAndGiveUp(true);
      return;
  }
}

void CDownloadDlg::redirected() {
  // Once a redirect has left https, no .netrc login goes to a plain address (siteAddress and
  // below ask useNetrcLogin, which holds to it).
  bool fromHttps = m_d.m_secure || m_d.m_options.leftHttps;
  m_d.m_options.leftHttps = fromHttps;
  if (!prepareDownload(!m_useMirrorList)) {
    closeConnections();
    // A queued download whose file cannot be had now stays queued, as it would at its start.
    abandonSite(true, !m_keepEntry);
    return;
  }
  m_d.m_options.leftHttps = fromHttps && !m_d.m_secure;
  m_job.redirectPrepared();
  // Another server's login, if .netrc has one.
  if (m_d.m_user.empty()) useNetrcLogin(m_d);
  reopenConnection();
}

void CDownloadDlg::jobNote(Note what, const std::string& text) {
  ActingAs acting(this);
  switch (what) {
    case Note::Status: m_urlText.SetWindowText(text); break;
    case Note::NoResume:
      // A file that changed on the server says so; else the server gives no ranges.
      if (text.empty()) setNoResumeNote(false);
      else m_noResumeNote.SetWindowText(text);
      break;
    case Note::Receiving:
      if (m_useMirrorList) m_stateIcon.SetIcon(res::IDI_WORKING);
      break;
    case Note::Renamed:
      m_line1Text.SetWindowText(m_d.m_localPath);
      SetTaskState(JobPhase::Receiving, m_d.m_localPath);
      ui().statusLine("Saving as " + m_d.m_localPath + " (the name the server gives)");
      break;
    case Note::Log: break;
  }
}

void CDownloadDlg::jobWrote() {
  if (m_noTimer) updateProgress(true, true);
}

void CDownloadDlg::jobWaiting(int secondsLeft, const std::string& why) {
  ActingAs acting(this);
  // Waiting is no pause of the user's: Pause stops the waiting, and the window shows why.
  KillTimer(1);
  m_statusIcon.SetIcon(res::IDI_BROKEN);
  showState(JobPhase::Waiting);
  m_line3Text.SetWindowText("");
  m_urlText.SetWindowText(Format("%s. Trying again in %d s.", why.c_str(), secondsLeft));
}

void CDownloadDlg::jobRetry() {
  ActingAs acting(this);
  if (IsEnded() || m_paused) return;
  if (m_listRoundWait) {
    // A new round of the list, from its first site.
    m_listRoundWait = false;
    rewindMirrorList();
    return;
  }
  resumeDownload(false);
}

// An HTTP error reply: a missing file, a refused request, or a server in trouble.
void CDownloadDlg::replyRefused(int code, const std::string& reason) {
  closeConnections();
  bool show = !m_useMirrorList;
  if (code == 404 || code == 410) {
    if (show) {
      tell(FormatString(LoadString(res::IDS_NOT_FOUND), displayUrl(m_d.m_url)));
      deleteQueueEntry();
    }
  } else if (code <= 499) {
    if (show) {
      deleteQueueEntry();
      tell(Format(LoadString(res::IDS_SERVER_ERROR).c_str(), code, reason.c_str()));
    }
  } else if (show && tell(Format(LoadString(res::IDS_SERVER_ERROR_RESUME_LATER).c_str(), code, reason.c_str()),
                          MB_YESNO) == IDNO) {
    m_stoppedByUser = true;
    deleteQueueEntry();
  }
  abandonSite(true, false);
}

// The proxy wants a login, or another one: the setting holds it, so the user is told where.
void CDownloadDlg::proxyLoginRefused(int status, const std::string& realm) {
  ProxyChoice proxy;
  auto route = routeTo(m_d, proxy);
  std::string where = route ? Format("%s:%u", route->host.c_str(), route->port) : std::string("?");
  std::string named = std::to_string(status) + (realm.empty() ? "" : ", realm " + realm);
  std::string form = "http://user:password@" + where;
  std::string text =
      route && !route->proxyUser.empty()
          ? Format("The proxy %s refused the login of \"%s\" (%s).\nCheck the login in %s (%s).", where.c_str(),
                   route->proxyUser.c_str(), named.c_str(), proxy.source.c_str(), form.c_str())
          : Format("The proxy %s asks for a login (%s).\nGive it in %s as %s", where.c_str(), named.c_str(),
                   proxy.source.c_str(), form.c_str());
  failConnect(0, m_d.m_server, text);
}

// Basic authorization: asks for a login and tries again with it.
void CDownloadDlg::askCredentials(const std::string& realm) {
  closeConnections();
  // A login held back over plain http goes now that its server asks; a refused one is asked anew.
  bool heldBack = m_d.m_service == svc::kHttp && !m_d.m_secure && !m_d.m_loginAsked;
  if (heldBack && (!m_d.m_user.empty() || !m_d.m_password.empty())) {
    m_d.m_loginAsked = true;
    openConnection();
    return;
  }
  CPasswordDlg dlg;
  dlg.m_prompt = "Enter username and password for " + realm + " at " + m_d.m_server;
  DownloadJob::Asking asking(m_job);
  if (dlg.DoModal() == IDOK) {
    m_d.m_user = dlg.m_user;
    m_d.m_password = dlg.m_password;
    m_d.m_loginAsked = true;
    openConnection();
    return;
  }
  m_job.setEndReason("No login given for " + realm + " at " + m_d.m_server + ".");
  askResumeLaterAndGiveUp(true);
}

// The FTP server refused the login: a new one goes out on the waiting connection, or on a
// new one when the server hung up meanwhile.
void CDownloadDlg::ftpLoginRefused(const std::string& reply) {
  if (m_useMirrorList) {
    closeConnections();
    abandonSite(true, false);
    return;
  }
  if (tell(reply + "\r\n\r\nDo you need to change your username/password?", MB_YESNO) == IDYES) {
    CPasswordDlg dlg;
    dlg.m_prompt = "Enter username and password for FTP'ing from server " + m_d.m_server +
                   "\n(Try your real mail address as password.)";
    dlg.m_user = m_d.m_user;
    dlg.m_password = m_d.m_password;
    DownloadJob::Asking asking(m_job);
    if (dlg.DoModal() == IDOK) {
      if (!m_job.newLogin(dlg.m_user, dlg.m_password)) reopenConnection();
      return;
    }
  }
  askResumeLaterAndGiveUp(true);
}

// A failure that stays (a missing file, a refused login) is not worth resuming: No is the
// default, so a run nobody answers ends with no entry and no empty file.
void CDownloadDlg::askResumeLaterAndGiveUp(bool permanent) {
  DownloadJob::Asking asking(m_job);
  if (!m_useMirrorList && AfxMessageBox(res::IDS_RESUME_LATER, MB_YESNO | (permanent ? MB_DEFBUTTON2 : 0)) == IDNO)
    dropEntryAndFile();
  abandonSite(true, false);
}

void CDownloadDlg::dropEntryAndFile() {
  m_stoppedByUser = true;  // the user's No: nothing of it is to be kept, word of it included
  deleteQueueEntry();
  closeConnections();
  if (!m_d.m_localPath.empty()) DeleteFile(m_d.m_localPath);
}
