#include "transfer/ftp_transfer.h"

#include <algorithm>

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "transfer/ftp_address.h"
#include "transfer/url.h"

void FtpTransfer::closeSockets() {
  Transfer::closeSockets();
  // Closed, not destroyed: this may run inside one of their own handlers.
  for (auto* s : {&m_dataSocket, &m_listenSocket})
    if (*s) (*s)->Close();
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
    finish(Outcome::SocketFailed, m_lastSockError, LoadString(ok ? res::IDS_LISTEN_FAILED : res::IDS_SOCKET_CREATE_FAILED));
    return false;
  }
  return true;
}

void FtpTransfer::onSocketEvent(int kind, sockmsg::Event event, int error) {
  using sockmsg::Event;
  if (kind == sockmsg::kFtpControl) {
    switch (event) {
      case Event::Close: onCtrlClose(); break;
      case Event::Connect: onConnectResult(error); break;
      case Event::Read: onCtrlRead(); break;
      case Event::Write: onCtrlWrite(); break;
      case Event::Accept: break;
    }
    return;
  }
  // Both kinds of data connection reach the same data steps.
  switch (event) {
    case Event::Accept: onAccept(); break;
    case Event::Close: onDataClose(error); break;
    case Event::Connect: onDataConnectResult(error); break;
    case Event::Read: onDataRead(); break;
    case Event::Write:
      if (kind == sockmsg::kFtpPassiveData) onPassiveConnected();
      break;
  }
}

void FtpTransfer::onConnectResult(int error) {
  if (error != 0) finish(Outcome::ConnectFailed, error, m_req.route.host);
}

void FtpTransfer::onCtrlWrite() {
  active();
  status(LoadString(res::IDS_LOGGING_IN));
}

// Before any data has come, a dropped control connection means that no reply and no data
// can come any more: the session pauses as after a break instead of waiting for ever. Once
// data flows, the data connection's close decides. During the login prompt the close is
// only noted: the new login then goes out on a new connection.
void FtpTransfer::onCtrlClose() {
  m_peerClosed = true;
  m_ctrlClosed = true;
  if (m_prompting) return;
  // A reply that came before the close is read first.
  replyLines();
  if (m_closed || m_finalReply) return;
  // While data flows its close decides; without the final reply it cannot be complete.
  if (m_dataSocket && m_transferStarted && !m_dataDone) return;
  finish(Outcome::Broken);
}

bool FtpTransfer::waitingForReply() const {
  switch (m_state) {
    case State::Greeting:
    case State::UserSent:
    case State::PassSent:
    case State::TypeSent:
    case State::SizeSent:
    case State::MdtmSent:
    case State::PortSent:
    case State::PasvSent:
    case State::RestSent:
    case State::RetrSent: return true;
    default: return false;
  }
}

void FtpTransfer::onCtrlRead() {
  if (!m_ctrlSocket->fill()) {
    finish(Outcome::Broken, CAsyncSocket::GetLastError());
    return;
  }
  replyLines();
}

void FtpTransfer::replyLines() {
  std::string line;
  while (!m_closed && !m_prompting && waitingForReply()) {
    int got = m_ctrlSocket->takeLine(line);
    if (got <= 0) return;
    active();
    if (got >= static_cast<int>(CSessionSocket::kMaxLine)) {
      finish(Outcome::BadReply, 0, "The server's reply line is too long.", Answerer::Origin);
      return;
    }
    int code = ftpReplyCode(line);
    log(line + "\r\n");
    m_ftpReply += line + "\r\n";
    if (!m_replies.endsReply(line, code)) continue;

    if (code >= 100 && code <= 399) {
      positiveReply(line);
      if (m_closed || m_state == State::PasvSent) continue;
    } else if (code >= 400 && code <= 599) {
    if (m_state == State::SizeSent && code != 421) {
      // SIZE refused (not implemented, not in this mode): no size, as when it is not asked.
      m_state = State::SendMdtm;
    } else if (m_state == State::MdtmSent && code != 421) {
      // No time: the size alone tells the version, as before.
      m_state = State::SendPort;
    } else if (m_req.piece && !m_transferStarted) {
      // A further connection takes its part or nothing: a refused login (421, 530 for one
      // more), REST or RETR leaves the download to fewer connections.
      finish(Outcome::PieceRefused, code, m_ftpReply, Answerer::Origin);
      return;
    } else if (m_state == State::RestSent) {
      // The server does not resume: the whole file again, written from its start.
      m_restRefused = true;
      restartFile();
      m_state = State::SendRetr;
    } else if (m_state == State::PasvSent && passiveRefused()) {
      m_state = State::SendPort;
    } else if (m_state == State::PassSent && code == 530) {
      loginRefused();
      return;
    } else if (m_state == State::RetrSent && m_transferStarted) {
      // The transfer was cut off (426, 451, ...): what came is kept, the rest resumed later;
      // bytes still on their way in the data connection are read first.
      m_finalReply = m_cutOff = true;
      if (m_dataSocket && !m_dataDone) return;
      finish(Outcome::Broken, 0, std::string(), Answerer::Origin);
      return;
    } else {
      refused(code);
      return;
    }
  }
  sendStep();
  }
}

void FtpTransfer::positiveReply(const std::string& line) {
  switch (m_state) {
    case State::Greeting: m_state = State::SendUser; break;
    case State::UserSent: m_state = State::SendPass; break;
    case State::PassSent:
      m_state = State::SendType;
      status(LoadString(res::IDS_SETTING_UP_TRANSFER));
      break;
    case State::TypeSent: m_state = State::SendSize; break;
    case State::SizeSent:
      if (!parseSizeReply(line, m_fileSize)) m_fileSize = -1;
      m_state = State::SendMdtm;
      break;
    case State::MdtmSent:
      if (!parseMdtmReply(line, m_modified)) m_modified.clear();
      m_state = State::SendPort;
      break;
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
      // The size the reply names, else SIZE's. A size that cannot be read ("(40,000 bytes)")
      // is no size: the close then ends the file.
      std::int64_t size = m_fileSize;
      if (!parseRetrSize(line, size) && m_fileSize < 0) {
        announce(-1);
        break;
      }
      if (m_req.piece && size != m_req.total) {
        // Another size is another file: the job hears of it.
        ReplyFacts facts;
        facts.first = m_bodyStart;
        facts.total = size;
        facts.validator = m_modified;
        if (!m_events.connectionReply(facts)) finish(Outcome::FileChanged, 0, std::string(), Answerer::Origin);
        else finish(Outcome::PieceRefused, 0, "The file's size is not the one the download has.", Answerer::Origin);
        break;
      }
      if (size < m_bodyStart) {
        // The file is shorter than the part on disk: it is not the same file any more.
        finish(Outcome::FileChanged, 0, std::string(), Answerer::Origin);
        break;
      }
      announce(size - m_bodyStart);
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
      if (!m_req.route.viaProxy)
        cmd = "USER " + m_user + "\r\n";
      else if (m_req.address.m_port == 21)
        cmd = "USER " + m_user + "@" + m_req.address.m_server + "\r\n";
      else
        cmd = Format("USER %s@%s:%i\r\n", m_user.c_str(), m_req.address.m_server.c_str(), m_req.address.m_port);
      sent = State::UserSent;
      break;
    case State::SendPass: cmd = "PASS " + m_password + "\r\n", sent = State::PassSent; break;
    case State::SendType: cmd = "TYPE I\r\n", sent = State::TypeSent; break;
    // Asked in binary mode, where the size is the bytes RETR sends; before REST, which must
    // come right before RETR.
    case State::SendSize: cmd = "SIZE " + m_req.address.m_object + "\r\n", sent = State::SizeSent; break;
    // The file's time is its version beside its size: a file replaced between two
    // connections is not continued.
    case State::SendMdtm: cmd = "MDTM " + m_req.address.m_object + "\r\n", sent = State::MdtmSent; break;
    case State::SendPort: {
      std::string localAddr, ignored;
      unsigned localPort = 0, ctrlPort = 0;
      m_ctrlSocket->GetSockName(localAddr, ctrlPort);
      if (m_req.route.viaProxy) {
        cmd = ftpPassiveCommand(localAddr);
        sent = State::PasvSent;
      } else if (m_dataMode == DataMode::Extended) {
        cmd = "EPSV\r\n", sent = State::PasvSent;
      } else if (m_dataMode == DataMode::Classic) {
        cmd = "PASV\r\n", sent = State::PasvSent;
      } else {
        if (!listenForData()) return;
        m_listenSocket->GetSockName(ignored, localPort);
        cmd = ftpPortCommand(localAddr, localPort);
        sent = State::PortSent;
      }
      break;
    }
    case State::SendRest:
      cmd = Format("REST %lld\r\n", static_cast<long long>(m_offset)), sent = State::RestSent;
      break;
    case State::SendRetr: cmd = "RETR " + m_req.address.m_object + "\r\n", sent = State::RetrSent; break;
    default: return;
  }
  m_state = sent;
  // A real account's password is not for every eye; an anonymous one is an address.
  log(":::::" + (sent == State::PassSent && m_user != "anonymous" ? std::string("PASS ***\r\n") : cmd));
  m_ftpReply.clear();
  if (m_ctrlSocket->sendString(cmd) < 0) {
    // A command that cannot be sent: the connection is closed and the session pauses.
    m_lastSockError = CAsyncSocket::GetLastError();
    finish(Outcome::CommandFailed, m_lastSockError);
    return;
  }
  active();
}

void FtpTransfer::passiveSetup(const std::string& line) {
  std::string host;
  m_dataPort = ftpReplyCode(line) == 229 ? parseExtendedPassiveReply(line) : parsePassiveReply(line, host);
  if (m_dataPort == 0) {
    finish(Outcome::BadPassiveReply, 0, std::string(), Answerer::Origin);
    return;
  }
  m_pasvHost = host;
  m_dataSocket = std::make_unique<CSessionSocket>(this, sockmsg::kFtpPassiveData);
  if (!m_dataSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CLOSE)) {
    m_lastSockError = CAsyncSocket::GetLastError();
    finish(Outcome::SocketFailed, m_lastSockError, LoadString(res::IDS_SOCKET_CREATE_FAILED));
    return;
  }
  // The data connection goes where the control connection goes; a reply cannot point it elsewhere.
  std::string peer;
  unsigned peerPort = 0;
  m_ctrlSocket->GetPeerName(peer, peerPort);
  if (!m_dataSocket->Connect(peer, m_dataPort) && CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) {
    m_lastSockError = CAsyncSocket::GetLastError();
    finish(Outcome::DataConnectFailed, m_lastSockError, m_req.route.host);
    return;
  }
  m_state = State::SendRest;
}

bool FtpTransfer::passiveRefused() {
  if (m_req.route.viaProxy || m_dataMode == DataMode::Active) return false;
  // PASV cannot name an IPv6 address; there only EPSV is passive.
  std::string localAddr;
  unsigned port = 0;
  m_ctrlSocket->GetSockName(localAddr, port);
  m_dataMode = m_dataMode == DataMode::Extended && !isIpv6(localAddr) ? DataMode::Classic : DataMode::Active;
  return true;
}

void FtpTransfer::onDataConnectResult(int error) {
  if (error == 0 || !m_dataSocket) return;
  m_lastSockError = error;
  // A reset means the server took the connection and then dropped it: a break, not a
  // server that cannot be reached.
  if (error == WSAECONNRESET) finish(Outcome::Broken, error);
  else finish(Outcome::DataConnectFailed, m_lastSockError, m_req.route.host);
}

void FtpTransfer::loginRefused() {
  m_prompting = true;
  ConnectionResult r{Outcome::FtpLoginRefused, 530, m_ftpReply, Answerer::Origin, -1};
  report(r);
}

bool FtpTransfer::newLogin(const std::string& user, const std::string& password) {
  m_prompting = false;
  if (m_closed) return false;
  if (m_peerClosed) {
    // The server hung up while the user was asked: the login goes out on a new connection.
    close();
    return false;
  }
  m_user = user;
  m_password = password;
  m_state = State::SendUser;
  sendStep();
  // What came while the user was asked is read now.
  replyLines();
  return true;
}

void FtpTransfer::refused(int code) {
  // The site is given up: nothing more of it is read or written while the session says why.
  finish(Outcome::FtpRefused, code, m_ftpReply, Answerer::Origin);
}

void FtpTransfer::announce(std::int64_t size) {
  m_length = size;
  ReplyFacts facts;
  facts.first = m_bodyStart;
  facts.length = size;
  // REST was taken (a refusal restarts from 0 without it): the server sends parts.
  facts.ranges = m_bodyStart > 0 || !m_restRefused;
  facts.total = size >= 0 ? m_bodyStart + size : -1;
  facts.validator = m_modified;
  if (!m_events.connectionReply(facts)) finish(Outcome::FileChanged, 0, std::string(), Answerer::Origin);
  else if (m_req.probe) finish(Outcome::PieceDone, 0, std::string(), Answerer::Origin);
}

// ---- the data connection ----

void FtpTransfer::onAccept() {
  if (!m_listenSocket) return;
  auto conn = std::make_unique<CSessionSocket>(this, sockmsg::kFtpData);
  if (!m_listenSocket->Accept(*conn)) return;  // a failed accept: keep listening
  // Only the server the control connection reached may connect, and only once.
  std::string peer, ctrlPeer;
  unsigned port = 0;
  conn->GetPeerName(peer, port);
  m_ctrlSocket->GetPeerName(ctrlPeer, port);
  if (m_dataSocket || peer != ctrlPeer) {
    conn->Close();
    return;
  }
  active();
  m_dataSocket = std::move(conn);
  status(displayUrl(m_req.address.m_url));
}

// The passive data connection stands: the top line shows the address again, as after an accept.
void FtpTransfer::onPassiveConnected() {
  if (m_dataSocket) status(displayUrl(m_req.address.m_url));
  active();
}

void FtpTransfer::onDataRead() {
  if (!m_outFile || !m_dataSocket) return;
  // Over the download's speed limit: read again once the wait is over.
  if (overLimit([this] { onDataRead(); })) return;
  if (m_written == 0) {
    // Data flows: the top line shows the address again, whatever the last reply said.
    status(displayUrl(m_req.address.m_url));
    note(Note::Receiving);
  }
  if (m_closed) return;
  // Bytes beyond the size the server named are not the file's.
  auto left = [&] {
    std::int64_t file = m_length > 0 ? std::max<std::int64_t>(m_length - m_written, 0) : -1;
    std::int64_t piece = leftInPiece();
    return piece < 0 ? file : file < 0 ? piece : std::min(file, piece);
  };
  // A piece ends by closing the data connection (and the control connection with it: the
  // 426 that would follow is no failure).
  auto pieceEnded = [&] {
    if (!pieceComplete()) return false;
    finish(Outcome::PieceDone, 0, std::string(), Answerer::Origin);
    return true;
  };
  auto goOn = [&](std::int64_t) { return !m_closed && !pieceEnded(); };
  if (receiveToFile(*m_dataSocket, left, goOn)) return;
  readBlocks(*m_dataSocket, [&](const char* data, int n) {
    std::int64_t take = n;
    if (m_length > 0 && m_written + n > m_length) {
      if (m_bodyStart > 0) {
        // More than remains: the server ignored REST and sends the whole file. It is
        // fetched again from its start.
        finish(Outcome::Restart, 0, std::string(), Answerer::Origin);
        return false;
      }
      // Bytes beyond the announced size are not the file's.
      take = m_length - m_written;
    }
    if (leftInPiece() >= 0) take = std::min(take, leftInPiece());
    return writeBody(data, take) && !m_closed && !pieceEnded();
  });
}

void FtpTransfer::onDataClose(int error) {
  if (error != 0) {
    finish(Outcome::Broken, error);
    return;
  }
  m_dataDone = true;
  // Without the final reply, and with the control connection gone, none can come.
  if (!m_finalReply && m_ctrlClosed) {
    finish(Outcome::Broken, WSAECONNRESET);
    return;
  }
  checkComplete();
}

void FtpTransfer::checkComplete() {
  if (!m_finalReply || !m_dataDone || m_closed) return;
  if (m_cutOff) {
    finish(Outcome::Broken, 0, std::string(), Answerer::Origin);
    return;
  }
  // A clean close before the size the server named is a broken connection.
  if (m_length > 0 && m_written < m_length) {
    finish(Outcome::Broken, WSAECONNRESET);
    return;
  }
  // The size may have come after the bytes: more than it names means a server that
  // ignored REST (fetched again from 0), or bytes that are not the file's.
  if (m_length > 0 && m_written > m_length) {
    if (m_bodyStart > 0) {
      finish(Outcome::Restart, 0, std::string(), Answerer::Origin);
      return;
    }
    m_offset = m_length;
    m_written = m_length;
  }
  // A tail that stays would make a file called complete wrong: a failure is a file error.
  if (m_outFile && !m_outFile->IsStream() && !m_outFile->TruncateAt(m_offset)) {
    finish(Outcome::WriteFailed);
    return;
  }
  finish(Outcome::Finished, 0, std::string(), Answerer::Origin);
}
