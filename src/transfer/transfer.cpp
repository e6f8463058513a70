#include "transfer/transfer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "transfer/ftp_transfer.h"
#include "transfer/http_transfer.h"
#include "transfer/url.h"

Transfer::Transfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile)
    : m_req(std::move(req)), m_events(events), m_outFile(std::move(outFile)), m_bodyStart(m_req.first), m_offset(m_req.first) {}

Transfer::~Transfer() = default;

void Transfer::socketEvent(int kind, sockmsg::Event event, int error) {
  // Events of a closed connection come too late to mean anything.
  if (m_closed) return;
  // The job may let go of this connection while one of its handlers runs: the handler
  // keeps it alive until it returns.
  auto self = shared_from_this();
  onSocketEvent(kind, event, error);
}

void Transfer::active() { m_lastActivity = GetTickCount(); }

bool Transfer::createSockets(int& error, int& messageId) {
  m_ctrlSocket = std::make_unique<CSessionSocket>(this, socketKind());
  if (!m_ctrlSocket->Create(0)) {
    error = CAsyncSocket::GetLastError();
    messageId = res::IDS_SOCKET_CREATE_FAILED;
    return false;
  }
  m_ctrlSocket->SetSockOpt(kSoReuseAddr, 1);
  m_ctrlSocket->SetSockOpt(kSoKeepAlive, 1);
  return true;
}

bool Transfer::start(ConnectionResult& failed) {
  int error = 0, messageId = 0;
  if (!createSockets(error, messageId)) {
    close();
    failed = ConnectionResult{Outcome::SocketFailed, error, LoadString(messageId), Answerer::Local, -1};
    return false;
  }
  if (!connect(error)) {
    close();
    failed = ConnectionResult{Outcome::ConnectFailed, error, m_req.route.host, Answerer::Local, -1};
    return false;
  }
  return true;
}

void Transfer::closeSockets() {
  if (m_ctrlSocket) m_ctrlSocket->Close();
}

void Transfer::watchIdle() {
  int seconds = m_req.timeoutSeconds;
  active();
  if (seconds > 0)
    m_idle.start(1000, [this, seconds] {
      if (GetTickCount() - m_lastActivity < static_cast<DWORD>(seconds) * 1000 || asking()) return;
      std::string why = Format("No data received for %d second%s", seconds, seconds == 1 ? "" : "s");
      status(why);
      finish(Outcome::Broken, WSAETIMEDOUT, why);
    });
}

bool Transfer::connect(int& error) {
  const Download& d = m_req.address;
  watchIdle();
  // Straight to the server, TLS from the start; through a proxy, once its tunnel is open.
  if (d.m_secure && !m_req.route.viaProxy) m_ctrlSocket->SecureWith(d.m_server, d.m_port);
  if (m_ctrlSocket->Connect(m_req.route.host, m_req.route.port)) return true;
  error = CAsyncSocket::GetLastError();
  return error == WSAEWOULDBLOCK;
}

void Transfer::close() {
  m_closed = true;
  m_idle.stop();
  m_throttle.stop();
  // The file closes with its last connection.
  m_outFile.reset();
  closeSockets();
}

void Transfer::finish(Outcome what, int code, const std::string& text, Answerer who) {
  ConnectionResult r;
  r.what = what;
  r.code = code;
  r.text = text;
  r.who = who;
  report(r);
}

void Transfer::report(const ConnectionResult& r) {
  if (r.what != Outcome::FtpLoginRefused) {
    if (m_reported) return;  // a connection ends once
    m_reported = true;
    close();
  }
  m_events.connectionOutcome(r);
}

void Transfer::fileRefused() {
  int error = errno != 0 ? errno : EIO;
  finish(Outcome::WriteFailed, error, std::strerror(error), Answerer::Local);
}

bool Transfer::writeBody(const char* data, std::int64_t n) {
  // Bytes on disk already are compared, not written: a version that differs must not
  // overwrite the one it would be told from.
  std::int64_t same = std::clamp<std::int64_t>(m_req.compareUntil - m_offset, 0, n);
  if (same > 0) {
    std::string disk(static_cast<std::size_t>(same), '\0');
    if (!m_outFile->ReadAt(disk.data(), disk.size(), m_offset) || disk.compare(0, disk.size(), data, disk.size()) != 0) {
      finish(Outcome::Mismatch, 0, std::string(), Answerer::Origin);
      return false;
    }
  }
  if (n > same && !m_outFile->WriteAt(data + same, static_cast<std::size_t>(n - same), m_offset + same)) {
    fileRefused();
    return false;
  }
  std::int64_t at = m_offset;
  m_offset += n;
  m_written += n;
  m_events.connectionWrote(at, n);
  return !m_closed;
}

bool Transfer::overLimit(std::function<void()> resume) {
  if (!m_req.limit) return false;
  // Kept once: it may be the very function running now.
  if (!m_resume) m_resume = std::move(resume);
  if (m_throttle.active()) return true;
  if (m_req.limit->ready()) return false;
  waitForBudget();
  return true;
}

void Transfer::waitForBudget() {
  if (!m_req.limit || !m_resume || m_throttle.active()) return;
  m_throttle.start(m_req.limit->msUntilMore(), [this] {
    if (!m_closed) m_resume();
  }, true);
}

std::int64_t Transfer::budget(std::int64_t want) const {
  if (!m_req.limit) return want;
  std::int64_t have = m_req.limit->available();
  return want < 0 ? have : std::min(want, have);
}

void Transfer::restartFile() {
  m_bodyStart = m_offset = 0;
  m_req.compareUntil = -1;
  note(Note::NoResume);
}

namespace {
std::shared_ptr<Transfer> newTransfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile,
                                      ConnectionPool* pool) {
  if (req.address.m_service == svc::kFtp && !req.route.ftpOverHttp)
    return std::make_shared<FtpTransfer>(std::move(req), events, std::move(outFile));
  return std::make_shared<HttpTransfer>(std::move(req), events, std::move(outFile), pool);
}
}  // namespace

std::shared_ptr<Transfer> makeTransfer(ConnectionRequest req, ConnectionEvents& events,
                                       std::shared_ptr<CFile> outFile) {
  return newTransfer(std::move(req), events, std::move(outFile), nullptr);
}

ConnectionFactory pooledConnectionFactory(ConnectionPool& pool) {
  return [&pool](ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile) {
    return newTransfer(std::move(req), events, std::move(outFile), &pool);
  };
}
