#include "transfer/transfer.h"

#include "platform/services.h"
#include "resources/ids.h"
#include "transfer/ftp_transfer.h"
#include "transfer/http_transfer.h"
#include "transfer/url.h"

Transfer::~Transfer() = default;

namespace {
constexpr UINT kIdleTimer = 1;
}

LRESULT Transfer::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  // Events of a closed connection come too late to mean anything.
  if (m_closed) return 0;
  // The session may drop this transfer while one of its handlers runs (a reconnect, a
  // box with its own event loop): the handler keeps it alive until it returns.
  auto self = shared_from_this();
  if (msg == WM_TIMER && wParam == kIdleTimer) {
    bool idle = GetTickCount() - m_lastActivity >= static_cast<DWORD>(m_timeoutSeconds) * 1000;
    if (idle && m_inOutcome == 0 && !asking()) {
      close();
      status(Format("No data received for %d second%s", m_timeoutSeconds, m_timeoutSeconds == 1 ? "" : "s"));
      outcome(Outcome::Broken);
    }
    return 0;
  }
  return CWnd::WindowProc(msg, wParam, lParam);
}

void Transfer::setTimeout(int seconds) {
  m_timeoutSeconds = seconds;
  active();
  if (seconds > 0) SetTimer(kIdleTimer, 1000);
}

void Transfer::active() { m_lastActivity = GetTickCount(); }

bool Transfer::createSockets(int& error, int& messageId) {
  m_ctrlSocket = std::make_unique<CSessionSocket>(this, socketKind());
  if (!m_ctrlSocket->Create(0, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CLOSE)) {
    error = CAsyncSocket::GetLastError();
    messageId = res::IDS_SOCKET_CREATE_FAILED;
    return false;
  }
  m_ctrlSocket->SetSockOpt(kSoReuseAddr, 1);
  m_ctrlSocket->SetSockOpt(kSoKeepAlive, 1);
  return true;
}

void Transfer::closeSockets() {
  if (m_ctrlSocket) {
    m_ctrlSocket->Close();
    m_ctrlSocket.reset();
  }
}

bool Transfer::connect(const Route& route, int& error) {
  m_route = route;
  // Straight to the server, TLS from the start; through a proxy, once its tunnel is open.
  if (m_d.m_secure && !route.viaProxy) m_ctrlSocket->SecureWith(m_d.m_server);
  if (m_ctrlSocket->Connect(route.host, route.port)) return true;
  error = CAsyncSocket::GetLastError();
  return error == WSAEWOULDBLOCK;
}

void Transfer::close() {
  m_closed = true;
  KillTimer(kIdleTimer);
  if (m_outFile) {
    m_outFile->Close();
    m_outFile.reset();
  }
  closeSockets();
}

bool Transfer::outcome(Outcome what, int code, const std::string& text) {
  ++m_inOutcome;
  bool r = m_events.transferOutcome(what, code, text);
  --m_inOutcome;
  return r;
}

bool Transfer::writeBody(const char* data, std::int64_t n) {
  if (n > 0 && !m_outFile->Write(data, static_cast<std::size_t>(n))) {
    outcome(Outcome::WriteFailed);
    return false;
  }
  m_events.transferWrote();
  return !m_closed;
}

void Transfer::restartFile() {
  m_d.m_startOffset = 0;
  if (m_outFile) m_outFile->Seek(0);
}

std::shared_ptr<Transfer> makeTransfer(Download& d, TransferEvents& events, std::unique_ptr<CFile> outFile) {
  if (d.m_service == svc::kFtp) return std::make_shared<FtpTransfer>(d, events, std::move(outFile));
  return std::make_shared<HttpTransfer>(d, events, std::move(outFile));
}
