// The FTP client: the control conversation as a state machine, and the data connection.
#include <cctype>
#include <cstdlib>

#include "settings/options.h"
#include "platform/app.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "ui/password_dlg.h"
#include "session/download_dlg.h"
#include "transfer/url.h"

namespace {
// m_protoState of an FTP connection: odd states (and 0) wait for a reply, even ones send.
constexpr int kGreeting = 0;
constexpr int kSendUser = 2;
constexpr int kUserSent = 3;
constexpr int kSendPass = 4;
constexpr int kPassSent = 5;
constexpr int kSendType = 6;
constexpr int kTypeSent = 7;
constexpr int kSendPort = 8;
constexpr int kPortSent = 9;
constexpr int kSendRest = 10;
constexpr int kRestSent = 11;
constexpr int kSendPasv = 14;
constexpr int kPasvSent = 15;
constexpr int kSendRetr = 20;
constexpr int kRetrSent = 21;

int replyCode(const std::string& line) {
  std::string first = line.substr(0, 3);
  if (first.empty() || !std::isdigit(static_cast<unsigned char>(first[0]))) return 0;
  return std::atoi(first.c_str());
}
}  // namespace

int CDownloadDlg::s_ftpMultiLine = 0;
int CDownloadDlg::s_ftpMultiCode = 0;

LRESULT CDownloadDlg::onFtpCtrlWrite(WPARAM, LPARAM) {
  m_urlText.SetWindowText(LoadString(131));
  return 0;
}

// Before any data has come, a dropped control connection means that no reply and no data
// can come any more: the session pauses as after a break instead of waiting forever. Once
// data flows, the data connection's close decides. During the login prompt the close is
// only noted: the new login then goes out on a new connection.
LRESULT CDownloadDlg::onFtpCtrlClose(WPARAM, LPARAM) {
  m_peerClosed = true;
  if (!m_ctrlSocket || m_ftpPrompting || m_paused || m_finished || IsEnded()) return 0;
  if (m_dataSocket && m_bytesThisConn > 0) return 0;
  connectionBroken();
  return 0;
}

LRESULT CDownloadDlg::onFtpCtrlRead(WPARAM, LPARAM) {
  if (!m_ctrlSocket || m_ftpPrompting) return 0;
  if (m_protoState % 2 == 0 && m_protoState != kGreeting) return 0;
  std::string line;
  if (m_ctrlSocket->receiveLine(line, true) <= 0) return 0;
  int code = replyCode(line);
  m_headers += line + "\r\n";
  m_ftpReply += line + "\r\n";

  // A multi-line reply ends only at its opening code followed by a blank.
  if (s_ftpMultiLine) {
    bool last = code == s_ftpMultiCode && (line.size() == 3 || line[3] == ' ');
    if (!last) return 0;
    s_ftpMultiLine = 0;
    s_ftpMultiCode = 0;
  } else if (line.size() >= 4 && line[3] == '-' && code >= 100) {
    s_ftpMultiLine = 1;
    s_ftpMultiCode = code;
    return 0;
  }

  if (code >= 100 && code <= 399) {
    switch (m_protoState) {
      case kGreeting: m_protoState = kSendUser; break;
      case kUserSent: m_protoState = kSendPass; break;
      case kPassSent:
        m_protoState = kSendType;
        m_urlText.SetWindowText(LoadString(132));
        break;
      case kTypeSent: m_protoState = kSendPort; break;
      case kPortSent: m_protoState = kSendRest; break;
      case kPasvSent:
        ftpPassiveSetup(line);
        if (m_protoState != kSendRest) return 0;
        break;
      case kRestSent:
        m_protoState = kSendRetr;
        m_urlText.SetWindowText(LoadString(133));
        break;
      case kRetrSent: ftpTakeSize(line); break;
      default: break;
    }
  } else if (code >= 400 && code <= 599) {
    if (m_protoState == kRestSent) {
      // The server does not resume: the whole file again, written from its start.
      setNoResumeNote(false);
      m_startOffset = 0;
      if (m_outFile) m_outFile->Seek(0);
      m_protoState = kSendRetr;
    } else if (m_protoState == kPassSent && code == 530) {
      ftpLoginRefused();
      return 0;
    } else {
      ftpRefused();
      return 0;
    }
  }
  ftpSendStep();
  return 0;
}

void CDownloadDlg::ftpSendStep() {
  std::string proxy = ConfigString(kProxyFTP);
  std::string cmd;
  switch (m_protoState) {
    case kSendUser:
      if (proxy.empty())
        cmd = "USER " + m_user + "\r\n";
      else if (m_port == 21)
        cmd = "USER " + m_user + "@" + m_server + "\r\n";
      else
        cmd = Format("USER %s@%s:%i\r\n", m_user.c_str(), m_server.c_str(), m_port);
      break;
    case kSendPass: cmd = "PASS " + m_password + "\r\n"; break;
    case kSendType: cmd = "TYPE I\r\n"; break;
    case kSendPort:
      if (proxy.empty()) {
        std::string localAddr, ignored;
        unsigned localPort = 0, ctrlPort = 0;
        if (m_listenSocket) m_listenSocket->GetSockName(ignored, localPort);
        m_ctrlSocket->GetSockName(localAddr, ctrlPort);
        for (auto& c : localAddr)
          if (c == '.') c = ',';
        cmd = Format("PORT %s,%u,%u\r\n", localAddr.c_str(), localPort / 256, localPort % 256);
      } else {
        m_protoState = kSendPasv;
        cmd = "PASV\r\n";
      }
      break;
    case kSendRest: cmd = Format("REST %lld\r\n", static_cast<long long>(m_startOffset)); break;
    case kSendRetr: cmd = "RETR " + m_object + "\r\n"; break;
    default: return;
  }
  m_protoState += 1;
  m_headers += ":::::" + cmd;
  m_ftpReply.clear();
  if (m_ctrlSocket->sendString(cmd) < 0) ftpCommandFailed();
}

// A command that cannot be sent: the connection is closed and the session pauses.
void CDownloadDlg::ftpCommandFailed() {
  m_lastSockError = CAsyncSocket::GetLastError();
  m_paused = 0;
  togglePause();
  m_urlText.SetWindowText("ERROR!");
}

void CDownloadDlg::ftpPassiveSetup(const std::string& line) {
  std::string text = line;
  if (auto open = text.find('('); open != std::string::npos) text = text.substr(open + 1);
  if (auto close = text.find(')'); close != std::string::npos) text = text.substr(0, close);
  m_dataPort = 0;
  if (auto c2 = text.rfind(','); c2 != std::string::npos) {
    long p2 = std::atol(text.substr(c2 + 1).c_str());
    text = text.substr(0, c2);
    if (auto c1 = text.rfind(','); c1 != std::string::npos) {
      long p1 = std::atol(text.substr(c1 + 1).c_str());
      text = text.substr(0, c1);
      m_dataPort = static_cast<std::uint16_t>((p1 % 256) * 256 + (p2 % 256));
    }
  }
  if (m_dataPort == 0) {
    closeConnections();
    AfxMessageBox(136);
    deleteQueueEntry();
    EndDialog(IDOK);
    return;
  }
  m_pasvHost = text;
  for (auto& c : m_pasvHost)
    if (c == ',') c = '.';
  m_dataSocket = std::make_unique<CSessionSocket>(this, 3);
  if (!m_dataSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CLOSE)) {
    m_lastSockError = CAsyncSocket::GetLastError();
    CSessionSocket::showSocketError(m_lastSockError, LoadString(114));
    closeConnections();
    EndDialog(IDOK);
    return;
  }
  // The data connection goes where the control connection goes; a reply cannot point it elsewhere.
  std::string peer;
  unsigned peerPort = 0;
  m_ctrlSocket->GetPeerName(peer, peerPort);
  if (!m_dataSocket->Connect(peer, m_dataPort) && CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) {
    m_lastSockError = CAsyncSocket::GetLastError();
    m_urlText.SetWindowText("Err:  " + m_server);
    CSessionSocket::showSocketError(m_lastSockError, FormatString(LoadString(108), m_server));
    m_paused = 0;
    togglePause();
    return;
  }
  m_protoState = kSendRest;
}

LRESULT CDownloadDlg::onDataConnectResult(WPARAM wParam, LPARAM) {
  if (wParam == 0 || !m_dataSocket) return 0;
  m_lastSockError = static_cast<int>(wParam);
  m_urlText.SetWindowText("Err:  " + m_server);
  CSessionSocket::showSocketError(m_lastSockError, FormatString(LoadString(108), m_server));
  m_paused = 0;
  togglePause();
  return 0;
}

void CDownloadDlg::ftpTakeSize(const std::string& line) {
  std::string copy = toUpper(trim(line));
  if (copy.find("BYTES).") == std::string::npos && copy.find("BYTES.)") == std::string::npos) return;
  if (auto open = copy.rfind('('); open != std::string::npos) copy = copy.substr(open + 1);
  if (auto at = copy.find("BYTES)."); at != std::string::npos) copy = copy.substr(0, at);
  if (auto at = copy.find("BYTES.)"); at != std::string::npos) copy = copy.substr(0, at);
  copy = trim(copy);
  std::int64_t n = std::strtoll(copy.c_str(), nullptr, 10);
  m_totalSize = n - m_startOffset;
}

void CDownloadDlg::ftpLoginRefused() {
  if (m_useMirrorList) {
    closeConnections();
    abandonSite(true, false);
    return;
  }
  m_ftpPrompting = true;
  bool retry = false;
  if (AfxMessageBox(m_ftpReply + "\r\n\r\nDo you need to change your username/password?", MB_YESNO) == IDYES) {
    CPasswordDlg dlg;
    dlg.m_prompt = "Enter username and password for FTP'ing from server " + m_server +
                   "\n(Try your real mail address as password.)";
    dlg.m_user = m_user;
    dlg.m_password = m_password;
    if (dlg.DoModal() == IDOK) {
      m_user = dlg.m_user;
      m_password = dlg.m_password;
      retry = true;
    }
  }
  m_ftpPrompting = false;
  if (retry && m_peerClosed) {
    closeConnections();
    openConnection();
    return;
  }
  if (retry && m_ctrlSocket) {
    m_protoState = kSendUser;
    ftpSendStep();
    if (m_ctrlSocket) m_ctrlSocket->ResumeReadEvents();
    return;
  }
  if (AfxMessageBox(119, MB_YESNO) == IDNO) {
    deleteQueueEntry();
    closeConnections();
    DeleteFile(m_localPath);
  }
  abandonSite(true, false);
}

void CDownloadDlg::ftpRefused() {
  // The site is given up: nothing more of it is read or written while the boxes are open.
  m_dropConnection = 1;
  m_reconnectOnClose = 0;
  closeConnections();
  if (!m_useMirrorList) {
    AfxMessageBox(m_ftpReply);
    if (AfxMessageBox(119, MB_YESNO) == IDNO) {
      deleteQueueEntry();
      DeleteFile(m_localPath);
    }
  }
  abandonSite(true, false);
}

// ---- the data connection ----

LRESULT CDownloadDlg::onFtpAccept(WPARAM, LPARAM) {
  if (!m_listenSocket) return 0;
  auto conn = std::make_unique<CSessionSocket>(this, 2);
  if (!m_listenSocket->Accept(*conn)) return 0;  // a failed accept: keep listening
  if (m_dataSocket) {
    conn->Close();  // one data connection per transfer: an extra one is refused
    return 0;
  }
  m_dataSocket = std::move(conn);
  m_urlText.SetWindowText(m_url);
  return 0;
}

// The passive data connection stands: the top line shows the address again, as after an accept.
LRESULT CDownloadDlg::onFtpPassiveConnected(WPARAM, LPARAM) {
  if (m_dataSocket) m_urlText.SetWindowText(m_url);
  return 0;
}

LRESULT CDownloadDlg::onFtpDataRead(WPARAM, LPARAM) {
  if (!m_outFile || !m_dataSocket) return 0;
  if (m_useMirrorList && m_bytesThisConn == 0) m_stateIcon.SetIcon(172);
  // Blocks that arrive full are taken together: one event per block costs more than the copy.
  for (int i = 0; i < kBlocksPerRead; ++i) {
    int n = m_dataSocket->Receive(m_recvBuf, sizeof m_recvBuf);
    if (n < 0) {
      if (i == 0 || CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) m_lastSockError = CAsyncSocket::GetLastError();
      return 0;
    }
    m_bytesThisConn += n;
    if (!writeBlock(m_recvBuf, n)) return 0;
    if (n < static_cast<int>(sizeof m_recvBuf) || !m_dataSocket || !m_outFile) return 0;
  }
  return 0;
}

LRESULT CDownloadDlg::onFtpDataClose(WPARAM wParam, LPARAM) {
  int error = static_cast<int>(wParam);
  // A clean close before the size the server named is a broken connection.
  if (error == 0 && !m_paused && !m_dropConnection && m_totalSize > 0 && m_bytesThisConn < m_totalSize)
    error = WSAECONNRESET;
  onConnectionClosed(error);
  return 0;
}
