#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>

namespace {
thread_local int t_lastError = 0;

int fail(int code) {
  t_lastError = code;
  return code;
}
int failErrno() { return fail(WsaErrorFromErrno(errno)); }
}  // namespace

int WsaErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a connect under way
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
  }
}

struct CAsyncSocket::Impl {
  std::unique_ptr<QSocketNotifier> read, write;
};

CAsyncSocket::CAsyncSocket() : m_impl(std::make_unique<Impl>()) {}
CAsyncSocket::~CAsyncSocket() { Close(); }

int CAsyncSocket::GetLastError() { return t_lastError; }

bool CAsyncSocket::Create(unsigned port, long /*events*/) {
  Close();
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_fd < 0) {
    failErrno();
    return false;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (port != 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    failErrno();
    ::close(m_fd);
    m_fd = -1;
    return false;
  }
  return true;
}

bool CAsyncSocket::Connect(const std::string& host, unsigned port) {
  if (m_fd < 0) return fail(WSAENOTSOCK), false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
      if (res) ::freeaddrinfo(res);
      fail(WSAEINVAL);  // an unresolvable name reads as an invalid argument
      return false;
    }
    a.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
  }
  int rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (rc < 0 && errno != EINPROGRESS) {
    failErrno();
    return false;
  }
  m_connecting = true;
  m_closeReported = false;
  arm();
  if (rc < 0) {
    fail(WSAEWOULDBLOCK);
    return false;
  }
  return true;
}

bool CAsyncSocket::Listen(int backlog) {
  if (::listen(m_fd, backlog) < 0) {
    failErrno();
    return false;
  }
  m_listening = true;
  arm();
  return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& connected) {
  int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  m_readPending = false;
  arm();
  if (fd < 0) {
    failErrno();
    return false;
  }
  connected.Attach(fd, 0x3F);
  return true;
}

bool CAsyncSocket::Attach(int fd, long /*events*/) {
  Close();
  m_fd = fd;
  m_connecting = false;
  m_closeReported = false;
  m_readPending = false;
  m_writeWanted = true;  // the first write event tells that the connection stands
  arm();
  return true;
}

int CAsyncSocket::Detach() {
  int fd = m_fd;
  m_impl->read.reset();
  m_impl->write.reset();
  m_fd = -1;
  return fd;
}

void CAsyncSocket::AsyncSelect(long /*events*/) {
  arm();
}

void CAsyncSocket::Close() {
  m_impl->read.reset();
  m_impl->write.reset();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_listening = m_connecting = m_closeReported = m_readPending = m_writeWanted = m_readDeferred = false;
}

bool CAsyncSocket::SetSockOpt(int option, int value) {
  int name = option == kSoReuseAddr ? SO_REUSEADDR : option == kSoKeepAlive ? SO_KEEPALIVE : -1;
  if (name < 0) return fail(WSAEINVAL), false;
  if (::setsockopt(m_fd, SOL_SOCKET, name, &value, sizeof value) < 0) {
    failErrno();
    return false;
  }
  return true;
}

static bool nameOf(int fd, bool peer, std::string& address, unsigned& port) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (rc < 0) {
    failErrno();
    return false;
  }
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
  address = buf;
  port = ntohs(a.sin_port);
  return true;
}
bool CAsyncSocket::GetSockName(std::string& address, unsigned& port) const { return nameOf(m_fd, false, address, port); }
bool CAsyncSocket::GetPeerName(std::string& address, unsigned& port) const { return nameOf(m_fd, true, address, port); }

int CAsyncSocket::Send(const void* buf, int len) {
  if (m_fd < 0) return fail(WSAENOTSOCK), -1;
  ssize_t n = ::send(m_fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Report write again once the socket drains.
      m_writeWanted = true;
      arm();
    }
    failErrno();
    return -1;
  }
  return static_cast<int>(n);
}

int CAsyncSocket::Receive(void* buf, int len, bool peek) {
  if (m_fd < 0) return fail(WSAENOTSOCK), -1;
  ssize_t n = ::recv(m_fd, buf, static_cast<size_t>(len), peek ? MSG_PEEK : 0);
  int err = errno;
  // Any receive answers the read event: the next one is reported while data waits.
  m_readPending = false;
  arm();
  if (n < 0) {
    fail(WsaErrorFromErrno(err));
    return -1;
  }
  return static_cast<int>(n);
}

bool CAsyncSocket::PeerHasClosed() const {
  if (m_fd < 0) return true;
  pollfd p{m_fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void CAsyncSocket::ResumeReadEvents() {
  m_readPending = false;
  arm();
}

void CAsyncSocket::RetryReadLater(int ms) {
  m_readDeferred = true;
  arm();
  QTimer::singleShot(ms, m_impl->read.get(), [this] {
    m_readDeferred = false;
    arm();
  });
}

void CAsyncSocket::arm() {
  if (m_fd < 0) return;
  auto ensure = [this](std::unique_ptr<QSocketNotifier>& n, QSocketNotifier::Type type, void (CAsyncSocket::*fn)()) {
    if (!n) {
      n = std::make_unique<QSocketNotifier>(m_fd, type);
      QObject::connect(n.get(), &QSocketNotifier::activated, [this, fn] { (this->*fn)(); });
    }
  };
  ensure(m_impl->read, QSocketNotifier::Read, &CAsyncSocket::onReadable);
  ensure(m_impl->write, QSocketNotifier::Write, &CAsyncSocket::onWritable);
  bool readOn = !m_readPending && !m_closeReported && !m_connecting && !m_readDeferred;
  m_impl->read->setEnabled(readOn);
  m_impl->write->setEnabled(!m_listening && (m_connecting || m_writeWanted));
}

void CAsyncSocket::onReadable() {
  if (m_listening) {
    m_readPending = true;
    arm();
    OnAccept(0);
    return;
  }
  char c;
  ssize_t n = ::recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) {
    m_readPending = true;
    arm();
    OnReceive(0);
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  // The peer closed (n == 0) or the connection failed; every byte before it was delivered.
  int err = n == 0 ? 0 : WsaErrorFromErrno(errno);
  m_closeReported = true;
  m_writeWanted = false;
  arm();
  OnClose(err);
}

void CAsyncSocket::onWritable() {
  if (m_connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len);
    m_connecting = false;
    if (err != 0) {
      m_closeReported = true;
      m_writeWanted = false;
      arm();
      OnConnect(WsaErrorFromErrno(err));
      return;
    }
    m_writeWanted = false;
    arm();
    OnConnect(0);
    OnSend(0);
    return;
  }
  m_writeWanted = false;
  arm();
  OnSend(0);
}
