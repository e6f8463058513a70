#include "transfer/http_transfer.h"

#include <algorithm>
#include <cstdlib>

#include "platform/services.h"
#include "transfer/http_request.h"
#include "transfer/url.h"

namespace {
// The request as the header log shows it: credentials are not for every eye.
std::string maskedRequest(const std::string& request) {
  const std::string key = "\r\nAuthorization: Basic ";
  auto at = request.find(key);
  if (at == std::string::npos) return request;
  auto end = request.find("\r\n", at + key.size());
  return request.substr(0, at + key.size()) + "***" + request.substr(end);
}
}  // namespace

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
  if (wParam != 0) outcome(Outcome::ConnectFailed, static_cast<int>(wParam), m_route.host);
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
  // Through a proxy the whole URL, without a login or fragment; else (and inside a proxy's
  // tunnel) the object.
  std::string user, password;
  std::string target =
      m_route.viaProxy && !m_d.m_secure ? cutFragment(splitCredentials(m_d.m_url, user, password)) : m_d.m_object;
  p.target = encodeRequestTarget(target.empty() ? "/" : target);
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
  log("----Header Sent----\r\n" + maskedRequest(request) + "----Header Recv----\r\n");
  if (m_ctrlSocket->sendString(request) < 0) return false;
  active();
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
  int got = m_ctrlSocket->receiveLine(line, true);
  if (got <= 0) return 0;
  active();
  m_headerBytes += got;
  if (got >= kMaxHeaderLine || m_headerBytes > kMaxHeaderBlock || ++m_headerLines > kMaxHeaderLines) {
    badReply("The reply's header is too long.");
    return 0;
  }
  line = trim(line);
  log(line + "\r\n");
  if (m_state == State::RequestSent) {
    // Blank lines before the status line are passed over.
    if (!line.empty()) statusLine(line);
    return 0;
  }
  if (line.empty()) {
    if (!headerEnd()) return 0;
    if (!m_redirected) m_d.m_redirectCount = 0;
    status(displayUrl(m_d.m_url));
    m_state = State::Body;
    // A body announced empty is complete at once.
    if (m_bodyLength == 0 && !m_chunked && !m_dropConnection) bodyComplete();
    return 0;
  }
  HeaderLine h = splitHeaderLine(line);
  headerLine(h.name, h.value);
  return 0;
}

bool HttpTransfer::statusLine(const std::string& line) {
  int code = 0;
  if (!parseStatusLine(line, code, m_reason)) {
    badReply("The reply is not HTTP: \"" + line.substr(0, 80) + "\"");
    return false;
  }
  // A server in passing trouble: the resume point and the entry stay for a later try.
  bool transient = code == 502 || code == 503 || code == 504 || (code == 500 && m_d.m_startOffset > 0);
  if (code == 200) {
    restartFile();
    note(Note::NoResume);
  } else if (code == 206 || code == 401) {
    // Go on: a 401 is answered by its WWW-Authenticate line, not by the HTTP/1.0 retry.
  } else if (transient) {
    giveUp();
    status(Format("Server error: %d %s", code, m_reason.c_str()));
    outcome(Outcome::Broken);
    return false;
  } else if (code >= 400 && code <= 599 && code != 404 && code != 410 && m_d.m_stupidServer == 0) {
    // Taken to come from the range request: read this reply out, then retry as HTTP/1.0 from 0.
    m_dropConnection = true;
    m_reconnectOnClose = true;
    m_d.m_stupidServer = 1;
    note(Note::ServerNoRange);
  } else if (code >= 400 && code <= 599) {
    giveUp();
    outcome(Outcome::Refused, code, m_reason);
    return false;
  }
  m_httpStatus = code;
  m_state = State::HeaderLines;
  return true;
}

// The header is complete: what it announced must fit what was asked.
bool HttpTransfer::headerEnd() {
  if (m_dropConnection) return true;
  if (m_httpStatus == 401) {
    // Refused without a way to log in.
    giveUp();
    outcome(Outcome::Refused, 401, m_reason);
    return false;
  }
  if (m_httpStatus == 206 && m_rangeFirst >= 0 && m_rangeFirst != m_d.m_startOffset) {
    // A part other than the one asked for never lands at the asked place.
    if (m_rangeFirst == 0) {
      restartFile();
      note(Note::NoResume);
    } else if (m_d.m_startOffset != 0) {
      giveUp();
      m_d.m_startOffset = 0;
      note(Note::NoResume);
      outcome(Outcome::Reconnect);
      return false;
    } else {
      badReply(
          Format("The server sent bytes from %lld on, not the file's start.", static_cast<long long>(m_rangeFirst)));
      return false;
    }
  }
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

void HttpTransfer::badReply(const std::string& what) {
  giveUp();
  outcome(Outcome::BadReply, 0, what);
}

void HttpTransfer::headerLine(const std::string& name, const std::string& value) {
  if (headerIs(name, "Location:")) {
    location(value);
  } else if (headerIs(name, "Content-Length:")) {
    std::int64_t length = 0;
    if (!parseContentLength(value, length)) {
      if (!m_dropConnection) badReply("The reply's Content-Length is not a size: \"" + value.substr(0, 40) + "\"");
      return;
    }
    m_d.m_totalSize = length;
    if (m_bodyLength < 0 || length < m_bodyLength) m_bodyLength = length;
  } else if (headerIs(name, "Content-Range:")) {
    std::int64_t first = 0, last = 0;
    if (m_httpStatus != 206) return;
    if (!parseContentRange(value, first, last)) {
      badReply("The reply's Content-Range cannot be read: \"" + value.substr(0, 60) + "\"");
      return;
    }
    m_rangeFirst = first;
    if (m_bodyLength < 0 || last - first + 1 < m_bodyLength) m_bodyLength = last - first + 1;
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
  if (m_d.m_service == svc::kHttp &&
      (m_d.m_server != oldServer || m_d.m_port != oldPort || m_d.m_secure != oldSecure)) {
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
  // A whole body ends the reply at once.
  auto ended = [&] {
    bool complete = m_chunked ? m_chunks.done() : m_bodyLength >= 0 && m_d.m_bytesThisConn >= m_bodyLength;
    if (!complete || m_dropConnection) return false;
    bodyComplete();
    return true;
  };
  // A plain body that goes to the file as it comes needs no look at its bytes.
  auto left = [&] { return m_bodyLength >= 0 ? m_bodyLength - m_d.m_bytesThisConn : -1; };
  if (!m_chunked && !m_dropConnection && receiveToFile(*m_ctrlSocket, left, [&](std::int64_t) { return !ended(); }))
    return;
  std::string decoded;
  readBlocks(*m_ctrlSocket, [&](int n) {
    const char* data = m_recvBuf;
    std::int64_t take = n;
    if (m_chunked) {
      decoded.clear();
      m_chunks.decode(m_recvBuf, static_cast<std::size_t>(n), decoded);
      if (m_chunks.failed() && !m_dropConnection) {
        badReply("The reply's chunked body is broken.");
        return false;
      }
      data = decoded.data();
      take = static_cast<std::int64_t>(decoded.size());
    } else if (m_bodyLength >= 0) {
      // Bytes beyond the announced length are not the file's.
      take = std::min(take, left());
    }
    m_d.m_bytesThisConn += take;
    // An error reply's body, or a redirect's, is read out and never written.
    if (m_outFile && !m_dropConnection && !writeBody(data, take)) return false;
    return !ended();
  });
}

void HttpTransfer::bodyComplete() {
  // Whatever an older, longer file left behind the new bytes is not part of this one.
  if (m_outFile) m_outFile->TruncateHere();
  close();
  outcome(Outcome::Finished);
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
  bool shortBody = m_state == State::Body && !m_chunked && m_bodyLength > 0 && m_d.m_bytesThisConn < m_bodyLength;
  bool unfinishedChunks = m_state == State::Body && m_chunked && !m_chunks.done();
  if (m_state != State::Body || shortBody || unfinishedChunks) {
    outcome(Outcome::Broken, WSAECONNRESET);
    return 0;
  }
  bodyComplete();
  return 0;
}
