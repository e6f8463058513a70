#include "transfer/http_transfer.h"

#include <cstdlib>

#include "transfer/http_request.h"
#include "transfer/url.h"

bool HttpTransfer::createSockets(int& error, int& messageId) {
  m_ctrlSocket = std::make_unique<CSessionSocket>(this, sockmsg::kHttp);
  if (!m_ctrlSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CLOSE)) {
    error = CAsyncSocket::GetLastError();
    messageId = 114;
    return false;
  }
  m_ctrlSocket->SetSockOpt(kSoReuseAddr, 1);
  m_ctrlSocket->SetSockOpt(kSoKeepAlive, 1);
  return true;
}

void HttpTransfer::closeSockets() {
  if (m_ctrlSocket) {
    m_ctrlSocket->Close();
    m_ctrlSocket.reset();
  }
}

bool HttpTransfer::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  using T = HttpTransfer;
  using namespace sockmsg;
  static const MessageEntry<T> kMessages[] = {
      {sockmsg::msg(kHttp, kClose), &T::onClose},
      {sockmsg::msg(kHttp, kConnect), &T::onConnectResult},
      {sockmsg::msg(kHttp, kRead), &T::onRead},
      {sockmsg::msg(kHttp, kWrite), &T::onWrite},
  };
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result);
}

LRESULT HttpTransfer::onConnectResult(WPARAM wParam, LPARAM) {
  if (wParam == kTlsFailed) {
    outcome(Outcome::TlsFailed, 0, m_ctrlSocket->TlsError());
    return 0;
  }
  if (wParam != 0) outcome(Outcome::ConnectFailed, static_cast<int>(wParam), m_d.m_server);
  return 0;
}

LRESULT HttpTransfer::onWrite(WPARAM wParam, LPARAM) {
  if (wParam != 0) return 0;
  if (m_tunnel.opening(m_d, m_route)) {
    if (!m_tunnel.onWrite(*m_ctrlSocket, m_d)) outcome(Outcome::Broken, CAsyncSocket::GetLastError());
    return 0;
  }
  if (m_state == State::Connected && !sendRequest()) return 0;
  status("Connected; waiting for reply...");
  return 0;
}

bool HttpTransfer::sendRequest() {
  HttpRequestParams p;
  // Inside a proxy's tunnel the origin is spoken to directly.
  p.target = m_route.viaProxy && !m_d.m_secure ? cutFragment(m_d.m_url) : m_d.m_object;
  if (p.target.empty()) p.target = "/";
  p.hostHeader = m_d.m_port == defaultPort(svc::kHttp, m_d.m_secure) ? m_d.m_server
                                                                     : m_d.m_server + ":" + std::to_string(m_d.m_port);
  p.http10 = m_d.m_stupidServer == 1;
  if (p.http10) restartFile();
  p.startOffset = m_d.m_startOffset;
  p.lastModified = m_d.m_lastModified;
  p.user = m_d.m_user;
  p.password = m_d.m_password;
  std::string request = buildHttpRequest(p);
  if (m_ctrlSocket->IsSecure()) log("----Secure Connection----\r\n" + m_ctrlSocket->TlsSummary());
  log("----Header Sent----\r\n" + request + "----Header Recv----\r\n");
  if (m_ctrlSocket->sendString(request) < 0) return false;
  m_state = State::RequestSent;
  return true;
}

LRESULT HttpTransfer::onRead(WPARAM, LPARAM) {
  if (m_tunnel.opening(m_d, m_route)) {
    tunnelRead();
    return 0;
  }
  if (m_state == State::Body) {
    body();
    return 0;
  }
  if (m_state == State::Connected) return 0;
  std::string line;
  if (m_ctrlSocket->receiveLine(line, true) <= 0) return 0;
  line = trim(line);
  log(line + "\r\n");
  HeaderLine h = splitHeaderLine(line);
  // The status line goes on through the end-of-header and header-name steps like any line.
  if (m_state == State::RequestSent && toUpper(h.value.substr(0, 4)) != "HTTP" && !statusLine(h.value)) return 0;
  if (line.empty()) {
    if (!m_redirected) m_d.m_redirectCount = 0;
    status(m_d.m_url);
    m_state = State::Body;
    return 0;
  }
  headerLine(h.name, h.value);
  return 0;
}

bool HttpTransfer::statusLine(const std::string& value) {
  std::string reason;
  int code = statusCodeOf(value, reason);
  if (code == 200) {
    restartFile();
    note(Note::NoResume);
  } else if (code == 206 || code == 401) {
    // Go on: a 401 is answered by its WWW-Authenticate line, not by the HTTP/1.0 retry.
  } else if (code >= 400 && code <= 599 && code != 404 && code != 410 && m_d.m_stupidServer == 0) {
    // Taken to come from the range request: read this reply out, then retry as HTTP/1.0 from 0.
    m_dropConnection = true;
    m_reconnectOnClose = true;
    m_d.m_stupidServer = 1;
    note(Note::ServerNoRange);
  } else if (code >= 400 && code <= 599) {
    giveUp();
    outcome(Outcome::Refused, code, reason);
    return false;
  }
  m_httpStatus = code;
  m_state = State::HeaderLines;
  return true;
}

void HttpTransfer::tunnelRead() {
  switch (m_tunnel.onRead(*m_ctrlSocket, m_d)) {
    case ProxyTunnel::Step::Waiting: break;
    case ProxyTunnel::Step::Open: m_ctrlSocket->SecureWith(m_d.m_server); break;
    case ProxyTunnel::Step::Refused:
      giveUp();
      outcome(Outcome::TunnelRefused, m_tunnel.status(), m_tunnel.reason());
      break;
  }
}

void HttpTransfer::giveUp() {
  m_dropConnection = true;
  m_reconnectOnClose = false;
  close();
}

void HttpTransfer::headerLine(const std::string& name, const std::string& value) {
  if (headerIs(name, "Location:")) {
    location(value);
  } else if (headerIs(name, "Content-Length:")) {
    m_d.m_totalSize = std::strtoll(value.c_str(), nullptr, 10);
  } else if (headerIs(name, "Content-Range:")) {
    // Recognised; the start it names is not checked.
  } else if (headerIs(name, "WWW-Authenticate:")) {
    if (m_httpStatus == 401) authenticate(value);
  } else if (headerIs(name, "Last-Modified:")) {
    validator(value);
  } else if (headerIs(name, "Transfer-Encoding:")) {
    if (toUpper(value).find("CHUNKED") != std::string::npos) {
      m_chunked = true;
      m_chunks = ChunkedDecoder();
    }
  }
}

void HttpTransfer::location(const std::string& value) {
  if (++m_d.m_redirectCount > kMaxRedirects) {
    giveUp();
    outcome(Outcome::TooManyRedirects);
    return;
  }
  std::string oldServer = m_d.m_server;
  std::uint16_t oldPort = m_d.m_port;
  bool oldSecure = m_d.m_secure;
  m_d.m_url = resolveLocation(m_d.m_url, value);
  // No reconnect is armed until the new address is known to be usable: a close while the
  // session prepares it (and perhaps asks) must not open a connection to it.
  m_dropConnection = true;
  m_reconnectOnClose = false;
  m_redirected = true;
  if (m_outFile) {
    m_outFile->Close();
    m_outFile.reset();
  }
  if (!outcome(Outcome::Redirected) || m_closed) return;
  if (m_peerClosed) {
    // The server closed while the session was preparing: go to the new address now.
    outcome(Outcome::Reconnect);
    return;
  }
  m_reconnectOnClose = true;
  // Credentials belong to the server they were given for.
  if (m_d.m_service == svc::kHttp && (m_d.m_server != oldServer || m_d.m_port != oldPort || m_d.m_secure != oldSecure)) {
    m_d.m_user.clear();
    m_d.m_password.clear();
  }
}

void HttpTransfer::authenticate(const std::string& value) {
  if (toUpper(value.substr(0, 5)) != "BASIC") {
    giveUp();
    outcome(Outcome::AuthUnsupported);
    return;
  }
  std::string realm;
  auto at = toUpper(value).find("REALM=");
  if (at != std::string::npos && at > 0)
    realm = value.substr(at + 6);
  else
    realm = value.size() > 5 ? value.substr(5) : std::string();
  giveUp();
  outcome(Outcome::NeedCredentials, 0, trim(realm));
}

void HttpTransfer::validator(const std::string& value) {
  if (!m_d.m_lastModified.empty() && m_d.m_lastModified != value && m_d.m_startOffset != 0) {
    // The file on the server has changed: fetch it again from its start.
    m_d.m_lastModified.clear();
    m_d.m_startOffset = 0;
    outcome(Outcome::FileChanged);
    return;
  }
  m_d.m_lastModified = value;
  note(Note::Validator);
}

void HttpTransfer::body() {
  if (m_d.m_bytesThisConn == 0) note(Note::Receiving);
  if (m_closed) return;
  std::string data;
  readBlocks(*m_ctrlSocket, [&](int n) {
    if (m_chunked) {
      data.clear();
      m_chunks.decode(m_recvBuf, static_cast<std::size_t>(n), data);
      m_d.m_bytesThisConn += static_cast<std::int64_t>(data.size());
      return !m_outFile || m_redirected || writeBody(data.data(), static_cast<std::int64_t>(data.size()));
    }
    m_d.m_bytesThisConn += n;
    return !m_outFile || m_redirected || writeBody(m_recvBuf, n);
  });
}

LRESULT HttpTransfer::onClose(WPARAM wParam, LPARAM) {
  int error = static_cast<int>(wParam);
  m_peerClosed = true;
  if (m_tunnel.opening(m_d, m_route)) {
    outcome(Outcome::TunnelRefused, 0, std::string());
    return 0;
  }
  if (error != 0) {
    outcome(Outcome::Broken, error);
    return 0;
  }
  if (m_dropConnection) {
    if (m_reconnectOnClose) outcome(Outcome::Reconnect);
    return 0;
  }
  // A clean close before the reply is whole is a broken connection, not a finished file.
  bool shortBody = m_state == State::Body && !m_chunked && m_d.m_totalSize > 0 && m_d.m_bytesThisConn < m_d.m_totalSize;
  bool unfinishedChunks = m_state == State::Body && m_chunked && !m_chunks.done();
  if (m_state != State::Body || shortBody || unfinishedChunks) {
    outcome(Outcome::Broken, WSAECONNRESET);
    return 0;
  }
  // Whatever an older, longer file left behind the new bytes is not part of this one.
  if (m_outFile) m_outFile->TruncateHere();
  outcome(Outcome::Finished);
  return 0;
}
