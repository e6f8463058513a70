// Opening and closing a session's connections, and giving up a site.
#include <cstdlib>

#include "engine/retry.h"
#include "platform/app.h"
#include "platform/services.h"
#include "platform/text.h"
#include "queue/scheduler.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"
#include "session/ending.h"
#include "settings/env_proxy.h"
#include "settings/options.h"
#include "transfer/route.h"
#include "transfer/url.h"

namespace {
// How often a download waiting for its turn looks again, besides being told when a place
// frees (wakeWaiting): a process that ended without a word frees one too.
constexpr int kTurnPollMs = 1000;
}  // namespace

void CDownloadDlg::openConnection() {
  if (connectionOpen()) return;
  listenForControl();
  m_animFrame1 = 0;
  m_bytesAtSample = 0;
  m_job.setEndReason(std::string());
  if (m_useMirrorList)
    SetWindowText(Format("Trying: %s", m_d.m_server.c_str()));
  else
    m_stateIcon.SetIcon(res::IDI_WORKING);

  // Chosen once for the whole connection.
  ProxyChoice proxy;
  auto route = routeTo(m_d, proxy);
  if (!route) m_failure = Failure::Other;
  if (!route && !proxy.configured) {
    // A variable of the environment the user may not even know is set: said, not configured.
    tell(Format("Couldn't recognize the proxy server in %s: %s", proxy.source.c_str(),
                displayUrl(proxy.setting).c_str()));
    EndDialog(IDOK);
    closeConnections();
    return;
  }
  if (!route) {
    tell(LoadString(res::IDS_PROXY_UNRECOGNIZED));
    EndDialog(IDOK);
    WinExec("TARNWICK.EXE /CONFIG");
    closeConnections();
    return;
  }
  std::string status = "Connecting to:  " + m_d.m_server;
  if (route->viaProxy) status += Format(" (via %s:%u from %s)", route->host.c_str(), route->port, proxy.source.c_str());
  m_job.startLog(status + "\r\n\r\n");
  m_job.m_otherSites = m_useMirrorList ? otherSites() : std::vector<DownloadJob::Site>();

  // The output file at the resume point, and the connection.
  std::string why;
  if (!m_job.open(*route, why)) {
    m_failure = Failure::LocalFile;
    // A new download leaves no entry behind (its file was named, its address not yet); a
    // queued one stays for when the file can be had again.
    if (m_fromQueue == 0) deleteQueueEntry();
    tell(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), m_d.m_localPath + "\n  " + why));
    EndDialog(IDOK);
    return;
  }
  if (!SetTimer(1, 200)) {
    m_noTimer = 1;
    AfxMessageBox(res::IDS_NO_TIMERS);
  }
  m_urlText.SetWindowText(status);
  keepEntry();
  m_line1Text.SetWindowText(m_d.m_localPath);
  m_lastSampleTick = GetTickCount();
}

void CDownloadDlg::startWhenItsTurn() {
  if (IsEnded()) return;
  if (!m_slot.empty() && !m_turnClaimed) {
    // Every start asks the one coordinator, in line: a new download after those already
    // waiting, one that had a place (resumed) at that place.
    if (!QueueEntry::exists(m_slot)) keepEntry();
    if (!m_waitingTurn) queueForTurn(m_slot);
    if (!claimTurn(m_slot)) {
      if (!m_waitingTurn) m_turnPolls = 0;
      m_waitingTurn = true;
      listenForControl();  // a waiting download can be paused, started or removed too
      showState(JobPhase::Pending);  // on the bar, as every state is: not a wait to try again
      // Counted now and then: it reads the whole line.
      if (m_turnPolls++ % 3 == 0)
        m_urlText.SetWindowText(Format("Waiting for its turn: %d ahead", turnsAhead(m_slot)));
      if (QueueEntry::readText(m_slot, QueueValue::Phase) != phaseWord(JobPhase::Pending)) {
        LiveState pending;
        pending.phase = JobPhase::Pending;
        QueueEntry::publish(m_slot, std::nullopt, pending);
      }
      // Paused meanwhile: Resume asks again.
      m_turnTimer.start(kTurnPollMs, [this] {
        ActingAs acting(this);
        if (!m_paused) startWhenItsTurn();
      }, true);
      return;
    }
    m_turnClaimed = true;
  }
  m_waitingTurn = false;
  openConnection();
}

std::optional<Route> routeTo(const Download& d, ProxyChoice& proxy) {
  bool ftp = d.m_service == svc::kFtp;
  std::string scheme = ftp ? "ftp" : d.m_secure ? "https" : "http";
  proxy = chooseProxy(scheme, d.m_server, ConfigString(ftp ? kProxyFTP : kProxy),
                      [](const char* name) -> const char* { return std::getenv(name); });
  return chooseRoute(d, proxy.setting, proxy.speaksHttp);
}

// The entry names the address and the file again: after a failed first connect removed
// it, a resume in the same window or "resume later" must find it whole.
void CDownloadDlg::keepEntry() {
  if (m_slot.empty()) return;
  QueueEntry::forgetFailed(m_slot);  // the entry says what becomes of it now
  // The request options go with the address they were given for: a redirect to another
  // server has dropped its credentials, and a resume must not send them there.
  std::string request = encodeRequestOptions(m_d.m_options.forHost(m_d.m_server));
  ProfileData kept = request.empty() ? ProfileData() : ProfileData(request);
  // Read first: the entry that holds them already (a queued one, each new connection) costs
  // no write transaction.
  if (QueueEntry::readText(m_slot, QueueValue::Get) == m_d.m_url &&
      QueueEntry::readText(m_slot, QueueValue::Request) == request &&
      (m_d.m_localPath.empty() || QueueEntry::readText(m_slot, QueueValue::Local) == m_d.m_localPath))
    return;
  if (m_d.m_localPath.empty()) {
    QueueEntry::write(m_slot, {{QueueValue::Get, m_d.m_url}, {QueueValue::Request, kept}});
    return;
  }
  QueueEntry::write(m_slot,
                    {{QueueValue::Get, m_d.m_url}, {QueueValue::Local, m_d.m_localPath}, {QueueValue::Request, kept}});
}

// A socket that cannot be made ends the session.
void CDownloadDlg::socketFailed(int error, const std::string& text) {
  m_lastSockError = error;
  tell(socketErrorMessage(error, text));
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
  // A network that failed for now (refused, unreachable, timed out) pauses as a break does,
  // keeping the entry for a later resume whatever the tries left; so does an entry with
  // bytes on disk, or one resumed from the queue. A host that does not exist is no entry's
  // to wait for, new or queued (a batch runs its new entries as queued ones), when it has no bytes.
  bool hasBytes = m_job.startOffset() > 0 || QueueEntry::readInt(m_slot, QueueValue::Start, 0) > 0;
  bool passing = error != 0 && isTemporary(ConnectionResult{Outcome::ConnectFailed, error, "", Answerer::Local, -1});
  bool gone = error == WSAHOST_NOT_FOUND;
  abandonSite(false, !hasBytes && (m_fromQueue == 0 ? !passing : gone));
  if (!IsEnded()) sayFailure();  // the window stays, paused: the lists show why meanwhile
}

// The connection could not be made: say so and pause, for the user to try again.
void CDownloadDlg::pauseWithError(int error, const std::string& serverName, const std::string& message) {
  m_lastSockError = error;
  m_urlText.SetWindowText("Err:  " + serverName);
  if (!message.empty())
    tell(message);
  else if (error == WSAHOST_NOT_FOUND)
    tell("Host not found: " + displayText(serverName));
  else
    tell(socketErrorMessage(m_lastSockError, FormatString(LoadString(res::IDS_CANNOT_CONNECT), serverName)));
  m_paused = 0;
  togglePause();
  failed();
}

void CDownloadDlg::closeConnections() {
  m_job.stop();
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

std::string socketErrorMessage(int code, const std::string& prefix) {
  return prefix + "\n\nSocket Error:\n  " + socketErrorText(code);
}

int CDownloadDlg::tell(const std::string& text, UINT type) {
  m_job.setEndReason(oneLine(text), true);
  DownloadJob::Asking asking(m_job);
  return AfxMessageBox(text, type);
}
