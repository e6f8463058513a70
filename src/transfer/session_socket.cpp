#include "transfer/session_socket.h"

#include <algorithm>
#include <cstring>

#include "platform/services.h"

void CSessionSocket::report(sockmsg::Event event, int error) {
  if (m_handler) m_handler->socketEvent(m_kind, event, error);
}

void CSessionSocket::OnReceive(int error) { report(sockmsg::Event::Read, error); }
void CSessionSocket::OnAccept(int error) { report(sockmsg::Event::Accept, error); }
void CSessionSocket::OnClose(int error) {
  // Whatever waits unended in the buffer is all there will be.
  if (error == 0) m_ended = true;
  report(sockmsg::Event::Close, error);
}

void CSessionSocket::OnConnect(int error) {
  // Only a failure matters: the first write event tells that the connection stands.
  if (error != 0) report(sockmsg::Event::Connect, error);
}

void CSessionSocket::OnSend(int error) {
  while (!m_pendingOut.empty()) {
    int n = Send(m_pendingOut.data(), static_cast<int>(m_pendingOut.size()));
    if (n <= 0) return;  // would block: reported again once it drains
    m_pendingOut.erase(0, static_cast<std::size_t>(n));
  }
  report(sockmsg::Event::Write, error);
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

bool CSessionSocket::fill(int most) {
  if (m_ended) return true;
  // What was taken is dropped before the buffer grows, so it never holds more than a
  // block beyond an unended line.
  if (m_inAt > 0) {
    m_in.erase(0, m_inAt);
    m_inAt = 0;
  }
  char buf[65536];
  int n = Receive(buf, std::clamp(most, 1, static_cast<int>(sizeof buf)));
  if (n < 0) return GetLastError() == WSAEWOULDBLOCK;
  if (n == 0) m_ended = true;
  m_in.append(buf, static_cast<std::size_t>(n));
  return true;
}

int CSessionSocket::takeLine(std::string& line) {
  std::size_t avail = buffered();
  if (avail == 0) return -1;
  const char* p = m_in.data() + m_inAt;
  const void* nl = std::memchr(p, '\n', std::min(avail, kMaxLine));
  std::size_t take;
  if (nl)
    take = static_cast<std::size_t>(static_cast<const char*>(nl) - p) + 1;
  else if (avail >= kMaxLine)
    take = kMaxLine;
  else if (m_ended)
    take = avail;
  else
    return -1;
  // Bytes up to a zero byte count as the line.
  line.assign(p, strnlen(p, take));
  m_inAt += take;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r' || line.back() == '\n' ||
                           line.back() == '\v' || line.back() == '\f'))
    line.pop_back();
  return static_cast<int>(take);
}

std::string CSessionSocket::takeBuffered(std::size_t max) {
  std::size_t n = std::min(max, buffered());
  std::string out = m_in.substr(m_inAt, n);
  m_inAt += n;
  return out;
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
