#include "transfer/http_transfer.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "platform/services.h"
#include "platform/win.h"
#include "resources/resources.h"
#include "transfer/connection_pool.h"
#include "transfer/http_request.h"
#include "transfer/url.h"

namespace {
// Statuses that say "not now": the same request may well succeed later.
bool saysLater(int code, bool resumed) {
  return code == 502 || code == 503 || code == 504 || code == 429 || code == 408 || (code == 500 && resumed);
}
}  // namespace

HttpTransfer::HttpTransfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile,
                           ConnectionPool* pool)
    : Transfer(std::move(req), events, std::move(outFile)), m_pool(pool) {}

bool HttpTransfer::start(ConnectionResult& failed) {
  if (m_pool && !m_req.http10)
    m_ctrlSocket = m_pool->take(ConnectionPool::wayOf(m_req.address, m_req.route), this);
  if (!m_ctrlSocket) return Transfer::start(failed);
  m_reused = true;
  if (m_req.address.m_secure && m_req.route.viaProxy) m_tunnel.alreadyOpen();
  watchIdle();
  // The request goes out on the write event, as on a new connection.
  m_ctrlSocket->AsyncSelect(FD_WRITE);
  return true;
}

bool HttpTransfer::reconnect() {
  bool nothingCame = m_state == State::Connected ||
                     (m_state == State::RequestSent && m_headerBytes == 0 && m_ctrlSocket->buffered() == 0);
  if (!m_reused || !nothingCame) return false;
  m_reused = false;
  // Its own event may be running: closed now, let go of with this connection.
  m_spent = std::move(m_ctrlSocket);
  m_spent->Close();
  m_state = State::Connected;
  m_headerBytes = 0;
  m_headerLines = 0;
  m_tunnel = ProxyTunnel();
  int error = 0, messageId = 0;
  if (!createSockets(error, messageId))
    finish(Outcome::SocketFailed, error, LoadString(messageId));
  else if (!connect(error))
    finish(Outcome::ConnectFailed, error, m_req.route.host);
  return true;
}

void HttpTransfer::onSocketEvent(int, sockmsg::Event event, int error) {
  switch (event) {
    case sockmsg::Event::Close: onClose(error); break;
    case sockmsg::Event::Connect: onConnectResult(error); break;
    case sockmsg::Event::Read: onRead(); break;
    case sockmsg::Event::Write: onWrite(error); break;
    case sockmsg::Event::Accept: break;
  }
}

Answerer HttpTransfer::answerer(int status) const {
  return m_req.route.viaProxy && status == 407 ? Answerer::Proxy : Answerer::Origin;
}

void HttpTransfer::onConnectResult(int error) {
  if (error == kTlsFailed) {
    finish(Outcome::TlsFailed, m_ctrlSocket->TlsUnverified() ? kCertificateRefused : 0, m_ctrlSocket->TlsError());
    return;
  }
  if (error != 0) finish(Outcome::ConnectFailed, error, m_req.route.host);
}

void HttpTransfer::onWrite(int error) {
  if (error != 0) return;
  active();
  if (m_tunnel.opening(m_req.address, m_req.route)) {
    std::string sent;
    bool ok = m_tunnel.onWrite(*m_ctrlSocket, m_req.address, m_req.route, sent);
    if (!sent.empty()) log(sent);
    if (!ok) finish(Outcome::Broken, CAsyncSocket::GetLastError());
    return;
  }
  if (m_state == State::Connected && !sendRequest()) return;
  status("Connected; waiting for reply...");
}

bool HttpTransfer::sendRequest() {
  const Download& d = m_req.address;
  HttpRequestParams p;
  // Through a proxy the whole URL, without a login or fragment; else (and inside a proxy's
  // tunnel) the object.
  std::string user, password;
  std::string target =
      m_req.route.viaProxy && !d.m_secure ? cutFragment(splitCredentials(d.m_url, user, password)) : d.m_object;
  p.target = encodeRequestTarget(target.empty() ? "/" : target);
  p.hostHeader =
      d.m_port == defaultPort(d.m_service, d.m_secure) ? d.m_server : d.m_server + ":" + std::to_string(d.m_port);
  p.http10 = m_req.http10;
  p.keepAlive = m_pool != nullptr;
  if (p.http10) restartFile();
  p.startOffset = m_offset;
  p.lastModified = m_req.validator;
  p.ifRange = m_req.ifRange;
  if (m_req.piece) p.endOffset = m_askedEnd = m_req.end;
  // The proxy's own login goes to the proxy, never into a tunnel to the server.
  if (m_req.route.viaProxy && !d.m_secure) {
    p.proxyUser = m_req.route.proxyUser;
    p.proxyPassword = m_req.route.proxyPassword;
  }
  // An ftp URL asked of an HTTP proxy carries its login in the URL, as the proxy logs in.
  if (!m_req.route.ftpOverHttp) {
    // Over plain http a login waits for its server's 401: nobody on the way learns it unasked.
    if (d.m_secure || d.m_loginAsked) {
      p.user = d.m_user;
      p.password = d.m_password;
    }
  } else if (!d.m_user.empty() && d.m_user != "anonymous") {
    p.target = encodeRequestTarget(cutFragment(d.m_url));
  }
  // The user's additions go to the web server only, never with an ftp URL to its proxy.
  if (d.m_service == svc::kHttp) {
    const RequestOptions& o = d.m_options;
    p.userAgent = o.userAgent;
    p.referer = o.referer;
    p.headers = o.headers;
    p.cookie = cookieHeader(o.cookies, d.m_server, d.m_object, d.m_secure, static_cast<std::int64_t>(std::time(nullptr)));
  }
  std::string request = buildHttpRequest(p);
  if (m_ctrlSocket->IsSecure()) log("----Secure Connection----\r\n" + m_ctrlSocket->TlsSummary());
  log("----Header Sent----\r\n" + maskedRequest(request, d.m_options.headers) + "----Header Recv----\r\n");
  if (m_ctrlSocket->sendString(request) < 0) {
    if (!reconnect()) finish(Outcome::Broken, CAsyncSocket::GetLastError());
    return false;
  }
  active();
  m_state = State::RequestSent;
  return true;
}

void HttpTransfer::onRead() {
  // A body goes from the socket to the file (spliced where it can be): the buffer is only
  // for the lines before it.
  if (m_state == State::Body) {
    body();
    return;
  }
  // Under a speed limit the header is read in small blocks: what comes behind it is body,
  // taken at once.
  if (!m_ctrlSocket->fill(m_req.limit ? kLimitedHeaderBlock : 65536)) {
    if (!reconnect()) finish(Outcome::Broken, CAsyncSocket::GetLastError());
    return;
  }
  if (m_tunnel.opening(m_req.address, m_req.route)) {
    tunnelLines();
    return;
  }
  if (m_state != State::Body) headerLines();
  if (!m_closed && m_state == State::Body) body();
}

void HttpTransfer::headerLines() {
  if (m_state == State::Connected) return;
  std::string line;
  while (!m_closed && m_state != State::Body) {
    int got = m_ctrlSocket->takeLine(line);
    if (got <= 0) return;
    active();
    m_headerBytes += got;
    if (got >= kMaxHeaderLine || m_headerBytes > kMaxHeaderBlock || ++m_headerLines > kMaxHeaderLines) {
      badReply("The reply's header is too long.");
      return;
    }
    line = trim(line);
    // A new address may carry a login: the log shows it as every URL is shown.
    log((headerIs(splitHeaderLine(line).name, "Location:") ? displayUrl(line) : line) + "\r\n");
    if (m_state == State::RequestSent) {
      // Blank lines before the status line are passed over.
      if (!line.empty()) statusLine(line);
      continue;
    }
    if (m_state == State::Interim) {
      // An interim reply ends at its empty line; the real one follows.
      if (line.empty()) m_state = State::RequestSent;
      continue;
    }
    if (line.empty()) {
      if (!headerEnd()) return;
      status(displayUrl(m_req.address.m_url));
      m_state = State::Body;
      // A body announced empty is complete at once.
      if (m_bodyLength == 0 && !m_chunked) bodyComplete();
      return;
    }
    HeaderLine h = splitHeaderLine(line);
    headerLine(h.name, h.value);
  }
}

bool HttpTransfer::statusLine(const std::string& line) {
  int code = 0;
  if (!parseStatusLine(line, code, m_reason)) {
    badReply("The reply is not HTTP: \"" + line.substr(0, 80) + "\"");
    return false;
  }
  m_httpStatus = code;
  m_state = State::HeaderLines;
  // "HTTP/d.d": from 1.1 on a connection stays open unless the reply says otherwise.
  m_http11 = line.substr(5, 3) >= "1.1";
  bool ranged = !m_req.http10;
  if (code >= 100 && code <= 199) {
    m_state = State::Interim;
  } else if (m_req.piece && code != 206) {
    // A further connection takes its part or nothing: never a whole file, a redirect or a
    // login, and never a conclusion about the server.
    finish(Outcome::PieceRefused, code, m_reason, answerer(code));
    return false;
  } else if (code == 200 || code == 203) {
    restartFile();
  } else if (code == 206 || code == 401 || (code == 407 && m_req.route.viaProxy)) {
    // Go on: a 401 is answered by its WWW-Authenticate line, a 407 names the proxy's realm.
  } else if (saysLater(code, m_req.first > 0)) {
    // A server in passing trouble: its Retry-After is read before it is given up.
    m_busy = true;
    status(Format("Server error: %d %s", code, m_reason.c_str()));
  } else if (code >= 400 && code <= 499 && code != 404 && code != 410 && code != 407 && ranged) {
    // Taken to come from the range request: asked again without one.
    finish(Outcome::NoRange, code, m_reason, answerer(code));
    return false;
  } else if (code >= 400 && code <= 599) {
    finish(Outcome::Refused, code, m_reason, answerer(code));
    return false;
  }
  return true;
}

// A part is taken only as the one asked for: from the first byte wanted to the file's end,
// its length what the header says, in one piece. False: given up, and said why.
bool HttpTransfer::rangeAnswered() {
  auto bad = [&](const std::string& what) {
    badReply(what);
    return false;
  };
  if (m_multipart) return bad("The server sent several parts, not the one asked for.");
  if (m_rangeFirst < 0) {
    // Without a Content-Range the body can only be the whole file.
    if (m_offset > 0) return bad("The server sent a part without saying which.");
    m_bodyLength = m_contentLength;
    return true;
  }
  std::int64_t length = m_rangeLast - m_rangeFirst + 1;
  if (m_rangeTotal >= 0 && m_rangeLast + 1 != m_rangeTotal)
    return bad(Format("The server sent bytes %lld to %lld, not up to the file's end.", static_cast<long long>(m_rangeFirst),
                      static_cast<long long>(m_rangeLast)));
  if (m_contentLength >= 0 && m_contentLength != length && !m_chunked)
    return bad("The reply's Content-Length does not match its Content-Range.");
  m_bodyLength = length;
  return true;
}

// The header is complete: what it announced must fit what was asked.
bool HttpTransfer::headerEnd() {
  if (m_busy) {
    ConnectionResult r{Outcome::ServerBusy, m_httpStatus, m_reason, Answerer::Origin, m_retryAfter};
    report(r);
    return false;
  }
  if (m_httpStatus == 407 && m_req.route.viaProxy) {
    finish(Outcome::ProxyLoginRefused, 407, m_proxyRealm, Answerer::Proxy);
    return false;
  }
  if (m_httpStatus == 401 || (m_httpStatus != 200 && m_httpStatus != 203 && m_httpStatus != 206)) {
    // Refused without a way to log in, or a status that brings no file (a redirect without a
    // usable address, 204, 304, ...): its body is never written.
    finish(Outcome::Refused, m_httpStatus, m_reason, Answerer::Origin);
    return false;
  }
  if (m_req.piece) return pieceAnswered();
  if (m_httpStatus == 206 && !rangeAnswered()) return false;
  if (m_httpStatus == 206 && m_rangeFirst >= 0 && m_rangeFirst != m_offset) {
    // A part other than the one asked for never lands at the asked place.
    if (m_rangeFirst == 0) {
      restartFile();
    } else if (m_offset != 0) {
      finish(Outcome::Restart, 0, std::string(), Answerer::Origin);
      return false;
    } else {
      badReply(
          Format("The server sent bytes from %lld on, not the file's start.", static_cast<long long>(m_rangeFirst)));
      return false;
    }
  }
  if (m_httpStatus != 206) m_bodyLength = m_contentLength;
  m_facts.first = m_bodyStart;
  m_facts.length = m_bodyLength;
  if (m_httpStatus == 206) {
    m_facts.ranges = true;
    m_facts.total = m_rangeTotal;
  } else {
    m_facts.total = m_contentLength;
  }
  return replyTaken();
}

bool HttpTransfer::replyTaken() {
  if (!m_events.connectionReply(m_facts)) {
    finish(Outcome::FileChanged, 0, std::string(), Answerer::Origin);
    return false;
  }
  if (!m_req.probe) return true;
  finish(Outcome::PieceDone, 0, std::string(), Answerer::Origin);
  return false;
}

// A further connection's part: exactly the range asked for, of a file of the same length
// and version; anything else is dropped unread.
bool HttpTransfer::pieceAnswered() {
  // Checked against the request as it went out: the connection may since have been told to
  // stop earlier.
  const std::int64_t last = m_askedEnd - 1;
  if (m_rangeTotal >= 0 && m_rangeTotal != m_req.total) {
    // Another length is another file: the job hears of it.
    m_facts.first = m_bodyStart;
    m_facts.total = m_rangeTotal;
    m_facts.ranges = true;
    if (!replyTaken()) return false;
  }
  bool exact = !m_multipart && !m_chunked && m_rangeFirst == m_req.first && m_rangeLast == last &&
               m_rangeTotal == m_req.total && (m_contentLength < 0 || m_contentLength == m_askedEnd - m_req.first);
  if (!exact) {
    finish(Outcome::PieceRefused, m_httpStatus, "The server sent another part than the one asked for.", Answerer::Origin);
    return false;
  }
  m_bodyLength = m_askedEnd - m_req.first;
  m_facts.first = m_bodyStart;
  m_facts.length = m_bodyLength;
  m_facts.total = m_rangeTotal;
  m_facts.ranges = true;
  return replyTaken();
}

void HttpTransfer::tunnelLines() {
  std::string line;
  while (!m_closed && m_tunnel.opening(m_req.address, m_req.route)) {
    int got = m_ctrlSocket->takeLine(line);
    if (got <= 0) return;
    active();
    m_headerBytes += got;
    line = trim(line);
    log(line + "\r\n");
    // The proxy's answer has the same limits as any reply's header.
    if (got >= kMaxHeaderLine || m_headerBytes > kMaxHeaderBlock || ++m_headerLines > kMaxHeaderLines) {
      finish(Outcome::TunnelRefused, 0, "The proxy's reply is too long.", Answerer::Proxy);
      return;
    }
    switch (m_tunnel.onLine(line)) {
      case ProxyTunnel::Step::Waiting: break;
      case ProxyTunnel::Step::Open:
        m_headerBytes = 0;
        m_headerLines = 0;
        m_ctrlSocket->SecureWith(m_req.address.m_server, m_req.address.m_port);
        return;
      case ProxyTunnel::Step::Refused: tunnelRefused(); return;
    }
  }
}

void HttpTransfer::tunnelRefused() {
  if (m_tunnel.loginRefused())
    finish(Outcome::ProxyLoginRefused, m_tunnel.status(), m_tunnel.realm(), Answerer::Proxy);
  else
    finish(Outcome::TunnelRefused, m_tunnel.status(), m_tunnel.reason(), Answerer::Proxy);
}

void HttpTransfer::badReply(const std::string& what) { finish(Outcome::BadReply, 0, what, Answerer::Origin); }

void HttpTransfer::headerLine(const std::string& name, const std::string& value) {
  if (headerIs(name, "Location:")) {
    finish(Outcome::Redirected, 0, resolveLocation(m_req.address.m_url, value), Answerer::Origin);
  } else if (headerIs(name, "Content-Length:")) {
    std::int64_t length = 0;
    if (m_busy) return;
    if (!parseContentLength(value, length)) {
      badReply("The reply's Content-Length is not a size: \"" + value.substr(0, 40) + "\"");
      return;
    }
    m_contentLength = length;
  } else if (headerIs(name, "Content-Range:")) {
    std::int64_t first = 0, last = 0, total = -1;
    if (m_httpStatus != 206) return;
    if (!parseContentRange(value, first, last, &total)) {
      badReply("The reply's Content-Range cannot be read: \"" + value.substr(0, 60) + "\"");
      return;
    }
    m_rangeFirst = first;
    m_rangeLast = last;
    m_rangeTotal = total;
  } else if (headerIs(name, "WWW-Authenticate:")) {
    if (m_httpStatus == 401) authenticate(value);
  } else if (headerIs(name, "Proxy-Authenticate:")) {
    if (m_httpStatus == 407 && m_proxyRealm.empty()) m_proxyRealm = challengeRealm(value);
  } else if (headerIs(name, "Last-Modified:")) {
    m_facts.validator = value;
  } else if (headerIs(name, "Content-Disposition:")) {
    m_facts.fileName = contentDispositionName(value);
  } else if (headerIs(name, "Repr-Digest:")) {
    if (auto d = wholeFileDigest(value, false); !d.empty()) m_facts.digest = d, m_reprDigest = true;
  } else if (headerIs(name, "Digest:")) {
    // The newer field names the same thing more precisely: it wins, whatever the order.
    if (auto d = wholeFileDigest(value, true); !d.empty() && !m_reprDigest) m_facts.digest = d;
  } else if (headerIs(name, "ETag:")) {
    m_facts.etag = value;
  } else if (headerIs(name, "Accept-Ranges:")) {
    m_facts.ranges = toUpper(value).find("BYTES") != std::string::npos;
  } else if (headerIs(name, "Retry-After:")) {
    m_retryAfter = parseRetryAfter(value, std::time(nullptr));
  } else if (headerIs(name, "Content-Type:")) {
    m_multipart = toUpper(value).rfind("MULTIPART/BYTERANGES", 0) == 0;
  } else if (headerIs(name, "Connection:") || headerIs(name, "Proxy-Connection:")) {
    std::string v = toUpper(value);
    if (v.find("CLOSE") != std::string::npos) m_closeAsked = true;
    if (v.find("KEEP-ALIVE") != std::string::npos) m_keepAsked = true;
  } else if (headerIs(name, "Transfer-Encoding:")) {
    if (toUpper(value).find("CHUNKED") != std::string::npos) {
      m_chunked = true;
      m_chunks = ChunkedDecoder();
    }
  }
}

void HttpTransfer::authenticate(const std::string& value) {
  if (toUpper(value.substr(0, 5)) != "BASIC") {
    finish(Outcome::AuthUnsupported, 0, std::string(), Answerer::Origin);
    return;
  }
  finish(Outcome::NeedCredentials, 0, challengeRealm(value), Answerer::Origin);
}

void HttpTransfer::body() {
  if (m_written == 0) note(Note::Receiving);
  if (m_closed || overLimit([this] { body(); })) return;
  // A whole body ends the reply at once.
  auto ended = [&] {
    bool complete =
        pieceComplete() || (m_chunked ? m_chunks.done() : m_bodyLength >= 0 && m_written >= m_bodyLength);
    if (!complete) return false;
    bodyComplete();
    return true;
  };
  // A plain body that goes to the file as it comes needs no look at its bytes.
  auto left = [&] {
    std::int64_t body = m_bodyLength >= 0 ? m_bodyLength - m_written : -1;
    std::int64_t piece = leftInPiece();
    return piece < 0 ? body : body < 0 ? piece : std::min(body, piece);
  };
  if (!m_chunked && receiveToFile(*m_ctrlSocket, left, [&](std::int64_t) { return !ended(); })) return;
  std::string decoded;
  readBlocks(*m_ctrlSocket, [&](const char* block, int n) {
    const char* data = block;
    std::int64_t take = n;
    if (m_chunked) {
      decoded.clear();
      m_chunks.decode(block, static_cast<std::size_t>(n), decoded);
      m_overrun = m_overrun || m_chunks.overrun();
      if (m_chunks.failed()) {
        badReply("The reply's chunked body is broken.");
        return false;
      }
      data = decoded.data();
      take = static_cast<std::int64_t>(decoded.size());
      // Beyond the piece, the bytes are another connection's.
      if (leftInPiece() >= 0) take = std::min(take, leftInPiece());
    } else if (left() >= 0) {
      // Bytes beyond the announced length are not the file's.
      take = std::min(take, left());
      m_overrun = m_overrun || take < n;
    }
    if (m_outFile && !writeBody(data, take)) return false;
    return !ended();
  });
}

void HttpTransfer::bodyComplete() {
  // A piece ends where the next one begins: the bytes behind it are another connection's.
  if (m_req.end >= 0) {
    keepConnection();
    finish(Outcome::PieceDone, 0, std::string(), Answerer::Origin);
    return;
  }
  // Whatever an older, longer file left behind the new bytes is not part of this one.
  // A tail that stays would make a file called complete wrong: a failure is a file error.
  if (m_outFile && !m_outFile->IsStream() && !m_outFile->TruncateAt(m_offset)) {
    finish(Outcome::WriteFailed);
    return;
  }
  keepConnection();
  finish(Outcome::Finished, 0, std::string(), Answerer::Origin);
}

void HttpTransfer::keepConnection() {
  // Only a body whose end its length told, read to that end and not beyond: a body that
  // ends at the close, or one cut short, leaves the connection in an unknown place.
  bool whole = m_chunked ? m_chunks.done() : m_bodyLength >= 0 && m_written == m_bodyLength;
  bool stays = !m_closeAsked && (m_http11 || m_keepAsked);
  if (m_pool && stays && whole && !m_overrun && !m_peerClosed && !m_req.http10)
    m_pool->keep(ConnectionPool::wayOf(m_req.address, m_req.route), m_ctrlSocket);
}

void HttpTransfer::onClose(int error) {
  if (reconnect()) return;
  m_peerClosed = true;
  if (error != 0) {
    finish(Outcome::Broken, error);
    return;
  }
  // What waits in the buffer came before the close: it is read first.
  if (m_tunnel.opening(m_req.address, m_req.route)) {
    tunnelLines();
    if (!m_closed) tunnelRefused();
    return;
  }
  if (m_state != State::Body) headerLines();
  if (!m_closed && m_state == State::Body && m_ctrlSocket->buffered() > 0) body();
  if (m_closed) return;
  // A clean close before the reply is whole is a broken connection, not a finished file.
  bool shortBody = m_state == State::Body && !m_chunked && m_bodyLength > 0 && m_written < m_bodyLength;
  bool unfinishedChunks = m_state == State::Body && m_chunked && !m_chunks.done();
  // Without a length, only a TLS close_notify says the body is whole.
  bool cutShort = m_bodyLength < 0 && !m_chunked && m_ctrlSocket->TlsCutShort();
  if (m_state != State::Body || shortBody || unfinishedChunks || cutShort) {
    finish(Outcome::Broken, WSAECONNRESET);
    return;
  }
  bodyComplete();
}
