#include "transfer/session_socket.h"

#include <cstring>

#include "platform/services.h"

void CSessionSocket::post(UINT event, int error) {
  if (m_hWndTarget) postMessage(m_hWndTarget, sockmsg::base(m_kind) + event, static_cast<WPARAM>(error), 0);
}

void CSessionSocket::OnReceive(int error) { post(sockmsg::kRead, error); }
void CSessionSocket::OnOutOfBandData(int error) { post(sockmsg::kOob, error); }
void CSessionSocket::OnAccept(int error) { post(sockmsg::kAccept, error); }
void CSessionSocket::OnClose(int error) { post(sockmsg::kClose, error); }

void CSessionSocket::OnConnect(int error) {
  // Only a failure matters: the first write event tells that the connection stands.
  if (error != 0) post(sockmsg::kConnect, error);
}

void CSessionSocket::OnSend(int error) {
  while (!m_pendingOut.empty()) {
    int n = Send(m_pendingOut.data(), static_cast<int>(m_pendingOut.size()));
    if (n <= 0) return;  // would block: reported again once it drains
    m_pendingOut.erase(0, static_cast<std::size_t>(n));
  }
  post(sockmsg::kWrite, error);
}

int CSessionSocket::sendString(const std::string& text) {
  if (!m_pendingOut.empty()) {
    m_pendingOut += text;
    return static_cast<int>(text.size());
  }
  std::size_t off = 0;
  while (off < text.size()) {
    int n = Send(text.data() + off, static_cast<int>(text.size() - off));
    if (n < 0) {
      if (GetLastError() == WSAEWOULDBLOCK) {
        m_pendingOut = text.substr(off);
        return static_cast<int>(text.size());
      }
      return -1;
    }
    off += static_cast<std::size_t>(n);
  }
  return static_cast<int>(text.size());
}

int CSessionSocket::receiveLine(std::string& line, bool wholeLine) {
  // Whole lines may be long (a redirect to a signed address): they are read up to 8 KiB.
  char buf[8192];
  const int limit = wholeLine ? static_cast<int>(sizeof buf) - 1 : 255;
  std::memset(buf, 0, static_cast<std::size_t>(limit) + 1);
  int n = Receive(buf, limit, true);
  if (n < 0) return GetLastError() == WSAEWOULDBLOCK ? -1 : 0;
  if (n == 0) return -1;
  int take = n;
  bool ended = false;
  for (int i = 0; i < n; ++i)
    if (buf[i] == '\0' || buf[i] == '\n') {
      take = i + 1;
      ended = true;
      break;
    }
  if (!ended && wholeLine && n < limit && !PeerHasClosed()) {
    RetryReadLater(20);
    return -1;
  }
  line.clear();
  int got = Receive(buf, take);
  if (got < 0) return GetLastError() == WSAEWOULDBLOCK ? -1 : 0;
  std::size_t len = static_cast<std::size_t>(got);
  // Bytes up to a zero byte count as the line.
  line.assign(buf, strnlen(buf, len));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r' || line.back() == '\n' ||
                           line.back() == '\v' || line.back() == '\f'))
    line.pop_back();
  return got;
}

const char* socketErrorText(int code) {
  switch (code) {
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Access denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol is wrong type for socket";
    case 10042: return "Bad protocol option";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Can't assign requested address";
    case 10050: return "Network is down";
    case 10051: return "ICMP network unreachable (other side of a firewall?)";
    case 10052: return "Network was reset";
    case 10053: return "Software caused connection abort";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space is supported";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "Name too long";
    case 10064: return "Host is down";
    case 10065: return "Host is unreachable";
    case 10066: return "Directory not empty";
    case 10067: return "EPROCLIM returned";
    case 10068: return "EUSERS returned";
    case 10069: return "Disk quota exceeded";
    case 10070: return "ESTALE returned";
    case 10071: return "The object is remote";
    case 10091: return "System not ready";
    case 10092: return "Version is not supported";
    case 10093: return "Not initialized";
    case 11001: return "Host not found";
    case 11002: return "Try again";
    case 11003: return "Non-recoverable error";
    case 11004: return "No data record available";
    default: return "Unknown";
  }
}
