#include "transfer/ftp_transfer.h"

#include <algorithm>

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "transfer/ftp_address.h"
#include "transfer/url.h"

void FtpTransfer::closeSockets() {
  Transfer::closeSockets();
  for (auto* s : {&m_dataSocket, &m_listenSocket}) {
    if (*s) {
      (*s)->Close();
      s->reset();
    }
  }
}

// The data connection in active mode is listened for on the address the control
// connection uses, not on every address of the machine.
bool FtpTransfer::listenForData() {
  std::string localAddr;
  unsigned ctrlPort = 0;
  m_ctrlSocket->GetSockName(localAddr, ctrlPort);
  m_listenAddress = localAddr;
  m_listenSocket = std::make_unique<CSessionSocket>(this, sockmsg::kFtpData);
  bool ok = m_listenSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT) && m_listenSocket->Bind(localAddr);
  if (ok) {
    m_listenSocket->SetSockOpt(kSoReuseAddr, 1);
    m_listenSocket->SetSockOpt(kSoKeepAlive, 1);
  }
  if (!ok || !m_listenSocket->Listen(5)) {
    m_lastSockError = CAsyncSocket::GetLastError();
    outcome(Outcome::SocketFailed, m_lastSockError,
            LoadString(ok ? res::IDS_LISTEN_FAILED : res::IDS_SOCKET_CREATE_FAILED));
    return false;
  }
  return true;
}

bool FtpTransfer::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  using T = FtpTransfer;
  using namespace sockmsg;
  static const MessageEntry<T> kMessages[] = {
      {sockmsg::msg(kFtpControl, kClose), &T::onCtrlClose},
      {sockmsg::msg(kFtpControl, kConnect), &T::onConnectResult},
      {sockmsg::msg(kFtpControl, kRead), &T::onCtrlRead},
      {sockmsg::msg(kFtpControl, kWrite), &T::onCtrlWrite},
      {sockmsg::msg(kFtpData, kAccept), &T::onAccept},
      {sockmsg::msg(kFtpData, kClose), &T::onDataClose},
      {sockmsg::msg(kFtpData, kRead), &T::onDataRead},
      // The passive data connection reaches the same data steps.
      {sockmsg::msg(kFtpPassiveData, kClose), &T::onDataClose},
      {sockmsg::msg(kFtpPassiveData, kConnect), &T::onDataConnectResult},
      {sockmsg::msg(kFtpPassiveData, kRead), &T::onDataRead},
      {sockmsg::msg(kFtpPassiveData, kWrite), &T::onPassiveConnected},
  };
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result);
}

LRESULT FtpTransfer::onConnectResult(WPARAM wParam, LPARAM) {
  if (wParam != 0) outcome(Outcome::ConnectFailed, static_cast<int>(wParam), m_route.host);
  return 0;
}

LRESULT FtpTransfer::onCtrlWrite(WPARAM, LPARAM) {
  active();
  status(LoadString(res::IDS_LOGGING_IN));
  return 0;
}

// Before any data has come, a dropped control connection means that no reply and no data
// can come any more: the session pauses as after a break instead of waiting for ever. Once
// data flows, the data connection's close decides. During the login prompt the close is
// only noted: the new login then goes out on a new connection.
LRESULT FtpTransfer::onCtrlClose(WPARAM, LPARAM) {
  m_peerClosed = true;
  m_ctrlClosed = true;
  if (m_prompting || m_finalReply) return 0;
  // While data flows its close decides; without the final reply it cannot be complete.
  if (m_dataSocket && m_d.m_bytesThisConn > 0 && !m_dataDone) return 0;
  outcome(Outcome::Broken);
  return 0;
}

bool FtpTransfer::waitingForReply() const {
  switch (m_state) {
    case State::Greeting:
    case State::UserSent:
    case State::PassSent:
    case State::TypeSent:
    case State::PortSent:
    case State::PasvSent:
    case State::RestSent:
    case State::RetrSent: return true;
    default: return false;
  }
}

LRESULT FtpTransfer::onCtrlRead(WPARAM, LPARAM) {
  if (m_prompting || !waitingForReply()) return 0;
  std::string line;
  if (m_ctrlSocket->receiveLine(line, true) <= 0) return 0;
  active();
  int code = ftpReplyCode(line);
  log(line + "\r\n");
  m_ftpReply += line + "\r\n";
  if (!m_replies.endsReply(line, code)) return 0;

  if (code >= 100 && code <= 399) {
    positiveReply(line);
    if (m_closed || m_state == State::PasvSent) return 0;
  } else if (code >= 400 && code <= 599) {
    if (m_state == State::RestSent) {
      // The server does not resume: the whole file again, written from its start.
      note(Note::NoResume);
      restartFile();
      m_state = State::SendRetr;
    } else if (m_state == State::PassSent && code == 530) {
      loginRefused();
      return 0;
    } else if (m_state == State::RetrSent && m_transferStarted) {
      // The transfer was cut off (426, 451, ...): what came is kept, the rest resumed later.
      close();
      outcome(Outcome::Broken);
      return 0;
    } else {
      refused();
      return 0;
    }
  }
  sendStep();
  return 0;
}

void FtpTransfer::positiveReply(const std::string& line) {
  switch (m_state) {
    case State::Greeting: m_state = State::SendUser; break;
    case State::UserSent: m_state = State::SendPass; break;
    case State::PassSent:
      m_state = State::SendType;
      status(LoadString(res::IDS_SETTING_UP_TRANSFER));
      break;
    case State::TypeSent: m_state = State::SendPort; break;
    case State::PortSent: m_state = State::SendRest; break;
    case State::PasvSent: passiveSetup(line); break;
    case State::RestSent:
      m_state = State::SendRetr;
      status(LoadString(res::IDS_REQUESTING_FILE));
      break;
    case State::RetrSent: {
      int code = ftpReplyCode(line);
      if (code >= 200) {
        m_finalReply = true;
        checkComplete();
        break;
      }
      m_transferStarted = true;
      std::int64_t size = 0;
      if (!parseRetrSize(line, size)) {
        if (namesRetrSize(line)) {
          close();
          outcome(Outcome::BadReply, 0,
                  "The size the server names cannot be read: \"" + trim(line).substr(0, 80) + "\"");
        }
        break;
      }
      if (size < m_d.m_startOffset) {
        // The file is shorter than the part on disk: it is not the same file any more.
        close();
        m_d.m_startOffset = 0;
        note(Note::NoResume);
        outcome(Outcome::Reconnect);
        break;
      }
      m_d.m_totalSize = size - m_d.m_startOffset;
      break;
    }
    default: break;
  }
}

void FtpTransfer::sendStep() {
  std::string cmd;
  State sent;
  switch (m_state) {
    case State::SendUser:
      if (!m_route.viaProxy)
        cmd = "USER " + m_d.m_user + "\r\n";
      else if (m_d.m_port == 21)
        cmd = "USER " + m_d.m_user + "@" + m_d.m_server + "\r\n";
      else
        cmd = Format("USER %s@%s:%i\r\n", m_d.m_user.c_str(), m_d.m_server.c_str(), m_d.m_port);
      sent = State::UserSent;
      break;
    case State::SendPass: cmd = "PASS " + m_d.m_password + "\r\n", sent = State::PassSent; break;
    case State::SendType: cmd = "TYPE I\r\n", sent = State::TypeSent; break;
    case State::SendPort: {
      std::string localAddr, ignored;
      unsigned localPort = 0, ctrlPort = 0;
      m_ctrlSocket->GetSockName(localAddr, ctrlPort);
      if (!m_route.viaProxy) {
        if (!listenForData()) return;
        m_listenSocket->GetSockName(ignored, localPort);
        cmd = ftpPortCommand(localAddr, localPort);
        sent = State::PortSent;
      } else {
        cmd = ftpPassiveCommand(localAddr);
        sent = State::PasvSent;
      }
      break;
    }
    case State::SendRest:
      cmd = Format("REST %lld\r\n", static_cast<long long>(m_d.m_startOffset)), sent = State::RestSent;
      break;
    case State::SendRetr: cmd = "RETR " + m_d.m_object + "\r\n", sent = State::RetrSent; break;
    default: return;
  }
  m_state = sent;
  // A real account's password is not for every eye; an anonymous one is an address.
  log(":::::" + (sent == State::PassSent && m_d.m_user != "anonymous" ? std::string("PASS ***\r\n") : cmd));
  m_ftpReply.clear();
  if (m_ctrlSocket->sendString(cmd) < 0) {
    // A command that cannot be sent: the connection is closed and the session pauses.
    m_lastSockError = CAsyncSocket::GetLastError();
    outcome(Outcome::CommandFailed, m_lastSockError);
    return;
  }
  active();
}

void FtpTransfer::passiveSetup(const std::string& line) {
  std::string host;
  m_dataPort = ftpReplyCode(line) == 229 ? parseExtendedPassiveReply(line) : parsePassiveReply(line, host);
  if (m_dataPort == 0) {
    outcome(Outcome::BadPassiveReply);
    return;
  }
  m_pasvHost = host;
  m_dataSocket = std::make_unique<CSessionSocket>(this, sockmsg::kFtpPassiveData);
  if (!m_dataSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CLOSE)) {
    m_lastSockError = CAsyncSocket::GetLastError();
    outcome(Outcome::SocketFailed, m_lastSockError, LoadString(res::IDS_SOCKET_CREATE_FAILED));
    return;
  }
  // The data connection goes where the control connection goes; a reply cannot point it elsewhere.
  std::string peer;
  unsigned peerPort = 0;
  m_ctrlSocket->GetPeerName(peer, peerPort);
  if (!m_dataSocket->Connect(peer, m_dataPort) && CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) {
    m_lastSockError = CAsyncSocket::GetLastError();
    outcome(Outcome::DataConnectFailed, m_lastSockError, m_route.host);
    return;
  }
  m_state = State::SendRest;
}

LRESULT FtpTransfer::onDataConnectResult(WPARAM wParam, LPARAM) {
  if (wParam == 0 || !m_dataSocket) return 0;
  m_lastSockError = static_cast<int>(wParam);
  outcome(Outcome::DataConnectFailed, m_lastSockError, m_route.host);
  return 0;
}

void FtpTransfer::loginRefused() {
  m_prompting = true;
  bool retry = outcome(Outcome::FtpLoginRefused, 530, m_ftpReply);
  m_prompting = false;
  if (!retry || m_closed) return;
  if (m_peerClosed) {
    outcome(Outcome::Reconnect);
    return;
  }
  m_state = State::SendUser;
  sendStep();
  if (m_ctrlSocket) m_ctrlSocket->ResumeReadEvents();
}

void FtpTransfer::refused() {
  // The site is given up: nothing more of it is read or written while the session says why.
  close();
  outcome(Outcome::FtpRefused, 0, m_ftpReply);
}

// ---- the data connection ----

LRESULT FtpTransfer::onAccept(WPARAM, LPARAM) {
  if (!m_listenSocket) return 0;
  auto conn = std::make_unique<CSessionSocket>(this, sockmsg::kFtpData);
  if (!m_listenSocket->Accept(*conn)) return 0;  // a failed accept: keep listening
  // Only the server the control connection reached may connect, and only once.
  std::string peer, ctrlPeer;
  unsigned port = 0;
  conn->GetPeerName(peer, port);
  m_ctrlSocket->GetPeerName(ctrlPeer, port);
  if (m_dataSocket || peer != ctrlPeer) {
    conn->Close();
    return 0;
  }
  active();
  m_dataSocket = std::move(conn);
  status(displayUrl(m_d.m_url));
  return 0;
}

// The passive data connection stands: the top line shows the address again, as after an accept.
LRESULT FtpTransfer::onPassiveConnected(WPARAM, LPARAM) {
  if (m_dataSocket) status(displayUrl(m_d.m_url));
  active();
  return 0;
}

LRESULT FtpTransfer::onDataRead(WPARAM, LPARAM) {
  if (!m_outFile || !m_dataSocket) return 0;
  if (m_d.m_bytesThisConn == 0) {
    // Data flows: the top line shows the address again, whatever the last reply said.
    status(displayUrl(m_d.m_url));
    note(Note::Receiving);
  }
  if (m_closed) return 0;
  // Bytes beyond the size the server named are not the file's.
  auto left = [&] {
    return m_d.m_totalSize > 0 ? std::max<std::int64_t>(m_d.m_totalSize - m_d.m_bytesThisConn, 0) : -1;
  };
  auto goOn = [&](std::int64_t) { return m_dataSocket && m_outFile; };
  if (receiveToFile(*m_dataSocket, left, goOn)) return 0;
  readBlocks(*m_dataSocket, [&](int n) {
    std::int64_t take = n;
    if (m_d.m_totalSize > 0 && m_d.m_bytesThisConn + n > m_d.m_totalSize) {
      if (m_d.m_startOffset > 0) {
        // More than remains: the server ignored REST and sends the whole file. It is
        // fetched again from its start.
        close();
        m_d.m_startOffset = 0;
        note(Note::NoResume);
        outcome(Outcome::Reconnect);
        return false;
      }
      // Bytes beyond the announced size are not the file's.
      take = m_d.m_totalSize - m_d.m_bytesThisConn;
    }
    m_d.m_bytesThisConn += take;
    return writeBody(m_recvBuf, take) && m_dataSocket && m_outFile;
  });
  return 0;
}

LRESULT FtpTransfer::onDataClose(WPARAM wParam, LPARAM) {
  int error = static_cast<int>(wParam);
  if (error != 0) {
    outcome(Outcome::Broken, error);
    return 0;
  }
  m_dataDone = true;
  // Without the final reply, and with the control connection gone, none can come.
  if (!m_finalReply && m_ctrlClosed) {
    outcome(Outcome::Broken, WSAECONNRESET);
    return 0;
  }
  checkComplete();
  return 0;
}

void FtpTransfer::checkComplete() {
  if (!m_finalReply || !m_dataDone || m_closed) return;
  // A clean close before the size the server named is a broken connection.
  if (m_d.m_totalSize > 0 && m_d.m_bytesThisConn < m_d.m_totalSize) {
    outcome(Outcome::Broken, WSAECONNRESET);
    return;
  }
  // The size may have come after the bytes: more than it names means a server that
  // ignored REST (fetched again from 0), or bytes that are not the file's.
  if (m_d.m_totalSize > 0 && m_d.m_bytesThisConn > m_d.m_totalSize) {
    if (m_d.m_startOffset > 0) {
      close();
      m_d.m_startOffset = 0;
      note(Note::NoResume);
      outcome(Outcome::Reconnect);
      return;
    }
    if (m_outFile) m_outFile->Seek(m_d.m_totalSize);
    m_d.m_bytesThisConn = m_d.m_totalSize;
  }
  if (m_outFile) m_outFile->TruncateHere();
  close();
  outcome(Outcome::Finished);
}
