#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/tls.h"
#include "platform/win.h"

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
  // The name lookup under way: its worker reports to this socket only while the token lives,
  // so a socket closed, destroyed or connecting elsewhere meanwhile never hears of it.
  std::shared_ptr<CAsyncSocket*> lookup;
  // The addresses of the host being connected to, and the next one to try.
  std::vector<sockaddr_storage> addrs;
  std::size_t nextAddr = 0;
  // Options and port to give a socket made anew for another address family.
  int reuseAddr = -1, keepAlive = -1;
  unsigned boundPort = 0;
  // TLS: the host to verify (empty: plain), the session, and its state.
  std::string tlsHost;
  unsigned tlsPort = 0;
  std::unique_ptr<TlsSession> tls;
  std::string tlsError;
  bool tlsUnverified = false;  // the failed handshake was the certificate check's
  bool handshaking = false, hsWantRead = false, hsWantWrite = false;
  bool tlsClosed = false;   // the peer's close has been read through TLS
  bool readQueued = false;  // a read event for bytes TLS holds is on its way
  std::string peeked;       // decrypted bytes a peek took out of TLS, not yet received
  // ReceiveToFile: the pipe that carries socket pages into the file, made on first use.
  int pipe[2] = {-1, -1};
  std::int64_t pipeSize = 0;
  bool noSplice = false;  // this system or file cannot take spliced bytes
  void closePipe() {
    for (int& fd : pipe)
      if (fd >= 0) ::close(fd), fd = -1;
  }
};

CAsyncSocket::CAsyncSocket() : m_impl(std::make_unique<Impl>()) {}
CAsyncSocket::~CAsyncSocket() { Close(); }

int CAsyncSocket::GetLastError() { return t_lastError; }

namespace {
// A socket of family bound to port (0: none); -1 with the error set.
int newSocket(int family, unsigned port) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return failErrno(), -1;
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET6) {
    // Both families on one socket: a listening socket serves IPv4 and IPv6 peers alike.
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_any;
    a->sin6_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    a->sin_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof *a;
  }
  if (port != 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) < 0) {
    failErrno();
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

bool CAsyncSocket::Create(unsigned port, long /*events*/) {
  Close();
  m_family = AF_INET6;
  m_fd = newSocket(AF_INET6, port);
  if (m_fd < 0) {
    // No IPv6 on this system.
    m_family = AF_INET;
    m_fd = newSocket(AF_INET, port);
  }
  if (m_fd < 0) return false;
  m_impl->boundPort = port;
  m_impl->reuseAddr = m_impl->keepAlive = -1;
  return true;
}

// A connecting socket takes the family of the address it goes to, so that its own
// address reads as that family's (the FTP PORT command names it); after a failed connect
// the next address gets a fresh socket.
bool CAsyncSocket::useFamily(int family, bool fresh) {
  if (family == m_family && !fresh) return true;
  int fd = newSocket(family, m_impl->boundPort);
  if (fd < 0) return false;
  // This may run inside a notifier's own signal: they go once it has returned.
  for (auto* n : {&m_impl->read, &m_impl->write})
    if (*n) {
      (*n)->setEnabled(false);
      n->release()->deleteLater();
    }
  ::close(m_fd);
  m_fd = fd;
  m_family = family;
  if (m_impl->reuseAddr >= 0) SetSockOpt(kSoReuseAddr, m_impl->reuseAddr);
  if (m_impl->keepAlive >= 0) SetSockOpt(kSoKeepAlive, m_impl->keepAlive);
  return true;
}

namespace {
std::atomic<NameLookup> g_nameLookup{nullptr};

addrinfo streamHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  return hints;
}

std::vector<sockaddr_storage> addressesOf(const addrinfo* res, unsigned port) {
  std::vector<sockaddr_storage> addrs;
  for (const addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    sockaddr_storage ss{};
    std::memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
    reinterpret_cast<sockaddr_in*>(&ss)->sin_port = htons(static_cast<std::uint16_t>(port));  // same place in both
    addrs.push_back(ss);
  }
  return addrs;
}

// A name that does not exist is said so; a resolver that gave no answer gets a code of its
// own, since a later try may succeed.
int lookupError(int rc) {
  switch (rc) {
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return WSAHOST_NOT_FOUND;
    default: return WSAEINVAL;
  }
}

// Names under .invalid never exist (RFC 6761): they fail at once, and no query leaves the machine.
bool isInvalidName(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  constexpr std::string_view tld = "invalid";
  if (host.size() < tld.size()) return false;
  std::string_view tail = host.substr(host.size() - tld.size());
  for (std::size_t i = 0; i < tld.size(); ++i)
    if ((tail[i] | 0x20) != tld[i]) return false;
  return host.size() == tld.size() || host[host.size() - tld.size() - 1] == '.';
}

// Lookups report through this object on the application's thread. It goes with the
// application; a worker that finishes later finds none and drops its result. The mutex is
// never destroyed, as a worker may still run when the process exits.
std::mutex& mailboxMutex() {
  static auto* m = new std::mutex;
  return *m;
}
struct LookupMailbox;
LookupMailbox* g_mailbox = nullptr;  // under mailboxMutex
struct LookupMailbox : QObject {
  using QObject::QObject;
  ~LookupMailbox() override {
    std::lock_guard lock(mailboxMutex());
    g_mailbox = nullptr;
  }
};

void openMailbox() {
  std::lock_guard lock(mailboxMutex());
  if (!g_mailbox) g_mailbox = new LookupMailbox(QCoreApplication::instance());
}

template <class F>
void deliver(F&& fn) {
  std::lock_guard lock(mailboxMutex());
  if (g_mailbox) QMetaObject::invokeMethod(g_mailbox, std::forward<F>(fn), Qt::QueuedConnection);
}
}  // namespace

void SetNameLookup(NameLookup lookup) { g_nameLookup = lookup; }

bool CAsyncSocket::Connect(const std::string& hostText, unsigned port) {
  if (m_fd < 0) return fail(WSAENOTSOCK), false;
  m_impl->lookup.reset();
  std::string host = hostText;
  if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) return fail(WSAEINVAL), false;
  if (isInvalidName(host)) return fail(WSAHOST_NOT_FOUND), false;
  // A literal address needs no resolver: it connects at once.
  addrinfo hints = streamHints(AI_NUMERICHOST);
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc == EAI_NONAME) return startLookup(host, port);
  if (rc != 0 || !res) {
    if (res) ::freeaddrinfo(res);
    return fail(WSAEINVAL), false;
  }
  m_impl->addrs = addressesOf(res, port);
  ::freeaddrinfo(res);
  m_impl->nextAddr = 0;
  return connectNext();
}

// A slow resolver would freeze every window: names are looked up on a thread of their own,
// and the connect goes on from the event loop once the answer is there.
bool CAsyncSocket::startLookup(const std::string& host, unsigned port) {
  openMailbox();
  auto token = std::make_shared<CAsyncSocket*>(this);
  NameLookup lookup = g_nameLookup.load();
  if (!lookup) lookup = ::getaddrinfo;
  try {
    std::thread([host, port, lookup, weak = std::weak_ptr<CAsyncSocket*>(token)] {
      addrinfo hints = streamHints(0);
      addrinfo* res = nullptr;
      int rc = lookup(host.c_str(), nullptr, &hints, &res);
      std::vector<sockaddr_storage> addrs;
      if (res) {
        addrs = addressesOf(res, port);
        ::freeaddrinfo(res);
      }
      int error = rc != 0 ? lookupError(rc) : 0;
      deliver([weak, error, addrs = std::move(addrs)]() mutable {
        if (auto alive = weak.lock()) (*alive)->lookupDone(error, std::move(addrs));
      });
    }).detach();
  } catch (const std::system_error&) {
    return fail(WSAENOBUFS), false;
  }
  m_impl->lookup = std::move(token);
  m_connecting = false;
  m_closeReported = false;
  arm();
  return fail(WSAEWOULDBLOCK), false;
}

void CAsyncSocket::lookupDone(int error, std::vector<sockaddr_storage> addrs) {
  m_impl->lookup.reset();
  if (error == 0) {
    m_impl->addrs = std::move(addrs);
    m_impl->nextAddr = 0;
    if (connectNext() || t_lastError == WSAEWOULDBLOCK) return;
    error = t_lastError;
  }
  // Reported like a connect that failed after being in progress.
  m_closeReported = true;
  m_writeWanted = false;
  arm();
  OnConnect(error);
}

// Connects to the next address that takes a connect; false with the last error when none does.
bool CAsyncSocket::connectNext() {
  int error = WSAEINVAL;
  while (m_impl->nextAddr < m_impl->addrs.size()) {
    bool retry = m_impl->nextAddr > 0;
    const sockaddr_storage& ss = m_impl->addrs[m_impl->nextAddr++];
    if (!useFamily(ss.ss_family, retry)) {
      error = t_lastError;
      continue;
    }
    socklen_t len = ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    int rc = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&ss), len);
    if (rc < 0 && errno != EINPROGRESS) {
      error = WsaErrorFromErrno(errno);
      continue;
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
  fail(error);
  return false;
}

void CAsyncSocket::SecureWith(const std::string& host, unsigned port) {
  m_impl->tlsHost = host;
  m_impl->tlsPort = port;
  // On a standing connection (a proxy's tunnel) the handshake starts now.
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (m_fd >= 0 && !m_connecting && !m_listening && ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
    startTls();
}

bool CAsyncSocket::IsSecure() const { return m_impl->tls && !m_impl->handshaking; }
std::string CAsyncSocket::TlsError() const { return m_impl->tlsError; }
bool CAsyncSocket::TlsUnverified() const { return m_impl->tlsUnverified; }
bool CAsyncSocket::TlsCutShort() const { return m_impl->tls && m_impl->tls->cutShort(); }

std::string CAsyncSocket::TlsSummary() const { return m_impl->tls ? m_impl->tls->summary() : std::string(); }

void CAsyncSocket::startTls() {
  m_impl->tlsUnverified = false;
  m_impl->tls = TlsSession::create(m_fd, m_impl->tlsHost, m_impl->tlsPort, m_impl->tlsError);
  m_impl->handshaking = true;
  if (!m_impl->tls) {
    m_impl->handshaking = false;
    m_closeReported = true;
    m_writeWanted = false;
    arm();
    OnConnect(kTlsFailed);
    return;
  }
  stepHandshake();
}

// The handshake goes on at each socket event it waits for; the connection stands only
// once it is done, so no byte of a request leaves before the peer is verified.
void CAsyncSocket::stepHandshake() {
  auto io = m_impl->tls->handshake();
  OnHandshakeStep();
  m_impl->hsWantRead = io == TlsSession::Io::WantRead;
  m_impl->hsWantWrite = io == TlsSession::Io::WantWrite;
  if (io == TlsSession::Io::WantRead || io == TlsSession::Io::WantWrite) {
    arm();
    return;
  }
  m_impl->handshaking = false;
  if (io != TlsSession::Io::Ok) {
    m_impl->tlsError = m_impl->tls->error();
    m_impl->tlsUnverified = m_impl->tls->unverified();
    m_impl->tls.reset();
    m_closeReported = true;
    m_writeWanted = false;
    arm();
    OnConnect(kTlsFailed);
    return;
  }
  m_writeWanted = false;
  arm();
  OnConnect(0);
  OnSend(0);
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
  m_impl->lookup.reset();
  m_impl->read.reset();
  m_impl->write.reset();
  m_fd = -1;
  return fd;
}

void CAsyncSocket::AsyncSelect(long events) {
  if (events & FD_WRITE) m_writeWanted = true;
  arm();
}

bool CAsyncSocket::IdleAlive() const {
  const Impl& im = *m_impl;
  if (m_fd < 0 || m_connecting || m_listening || m_closeReported || m_readPending || im.lookup || im.handshaking)
    return false;
  // Bytes TLS already holds count as bytes come: a kept connection has none.
  if (im.tls && (im.tlsClosed || !im.peeked.empty() || im.tls->pending())) return false;
  pollfd p{m_fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 0;
}

void CAsyncSocket::Close() {
  m_impl->read.reset();
  m_impl->write.reset();
  m_impl->tls.reset();
  m_impl->tlsHost.clear();
  m_impl->peeked.clear();
  m_impl->handshaking = m_impl->tlsClosed = m_impl->readQueued = false;
  m_impl->lookup.reset();
  m_impl->addrs.clear();
  m_impl->closePipe();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_listening = m_connecting = m_closeReported = m_readPending = m_writeWanted = false;
}

bool CAsyncSocket::SetSockOpt(int option, int value) {
  int name = option == kSoReuseAddr ? SO_REUSEADDR : option == kSoKeepAlive ? SO_KEEPALIVE : -1;
  if (name < 0) return fail(WSAEINVAL), false;
  (option == kSoReuseAddr ? m_impl->reuseAddr : m_impl->keepAlive) = value;
  if (::setsockopt(m_fd, SOL_SOCKET, name, &value, sizeof value) < 0) {
    failErrno();
    return false;
  }
  return true;
}

static bool nameOf(int fd, bool peer, std::string& address, unsigned& port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len)
                : ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  if (rc < 0) {
    failErrno();
    return false;
  }
  char buf[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))
      ::inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], buf, sizeof buf);  // an IPv4 peer of a dual socket
    else
      ::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
    port = ntohs(a->sin6_port);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
    port = ntohs(a->sin_port);
  }
  address = buf;
  return true;
}
bool CAsyncSocket::GetSockName(std::string& address, unsigned& port) const { return nameOf(m_fd, false, address, port); }
bool CAsyncSocket::GetPeerName(std::string& address, unsigned& port) const { return nameOf(m_fd, true, address, port); }

int CAsyncSocket::Send(const void* buf, int len) {
  if (m_fd < 0) return fail(WSAENOTSOCK), -1;
  if (m_impl->tls) {
    if (m_impl->handshaking) return fail(WSAEWOULDBLOCK), -1;
    int sent = 0;
    auto io = m_impl->tls->write(static_cast<const char*>(buf), len, sent);
    if (io == TlsSession::Io::Ok) return sent;
    if (io == TlsSession::Io::WantRead || io == TlsSession::Io::WantWrite) {
      m_writeWanted = true;
      arm();
      return fail(WSAEWOULDBLOCK), -1;
    }
    return fail(WSAECONNRESET), -1;
  }
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
  if (m_impl->tls) return receiveTls(buf, len, peek);
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

bool CAsyncSocket::CanReceiveToFile() const { return m_fd >= 0 && !m_impl->tls && !m_impl->noSplice; }

namespace {
// One block: a larger pipe means fewer system calls per byte, but past half a megabyte the
// kernel's copy into the file runs from colder caches and costs more than it saves. The
// system may give less.
constexpr int kSplicePipe = 1 << 19;

// Writes n bytes that wait in the pipe into fd the ordinary way (at *offset, moved on, when
// given).
bool copyFromPipe(int pipeIn, int fd, std::int64_t n, std::int64_t* offset) {
  char buf[16384];
  while (n > 0) {
    ssize_t r = ::read(pipeIn, buf, static_cast<std::size_t>(std::min<std::int64_t>(n, sizeof buf)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    for (ssize_t done = 0; done < r;) {
      ssize_t w = offset ? ::pwrite(fd, buf + done, static_cast<std::size_t>(r - done), *offset)
                         : ::write(fd, buf + done, static_cast<std::size_t>(r - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
      if (offset) *offset += w;
    }
    n -= r;
  }
  return true;
}
}  // namespace

std::int64_t CAsyncSocket::ReceiveToFile(int fd, std::int64_t max, std::int64_t* offset) {
  if (m_fd < 0) return fail(WSAENOTSOCK), -1;
  Impl& im = *m_impl;
  if (im.pipe[0] < 0) {
    if (::pipe2(im.pipe, O_NONBLOCK | O_CLOEXEC) != 0) return failErrno(), -1;
    int size = ::fcntl(im.pipe[1], F_SETPIPE_SZ, kSplicePipe);
    im.pipeSize = size > 0 ? size : ::fcntl(im.pipe[1], F_GETPIPE_SZ);
    if (im.pipeSize <= 0) im.pipeSize = 65536;
  }
  ssize_t n = ::splice(m_fd, nullptr, im.pipe[1], nullptr, static_cast<std::size_t>(std::min(max, im.pipeSize)),
                       SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  int err = errno;
  // Any receive answers the read event: the next one is reported while data waits.
  m_readPending = false;
  arm();
  if (n < 0 && err == EINVAL) {
    // No splicing from this socket: the bytes still wait, for an ordinary receive.
    im.noSplice = true;
    return fail(WSAEWOULDBLOCK), -1;
  }
  if (n <= 0) return n < 0 ? (fail(WsaErrorFromErrno(err)), -1) : 0;
  // Every byte taken from the socket reaches the file, or the file has failed.
  for (std::int64_t left = n; left > 0;) {
    loff_t at = offset ? static_cast<loff_t>(*offset) : 0;
    ssize_t w = ::splice(im.pipe[0], nullptr, fd, offset ? &at : nullptr, static_cast<std::size_t>(left), SPLICE_F_MOVE);
    if (w > 0 && offset) *offset = at;
    if (w > 0) {
      left -= w;
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      // A full pipe (standard output into a slow reader): the bytes wait until it takes them.
      pollfd out{fd, POLLOUT, 0};
      ::poll(&out, 1, -1);
      continue;
    }
    if (w < 0 && errno == EINVAL) {
      // A file system that takes no spliced bytes: these are written as usual, later ones received as usual.
      im.noSplice = true;
      if (copyFromPipe(im.pipe[0], fd, left, offset)) break;
    }
    int err = errno;
    im.closePipe();  // whatever it still holds belongs nowhere
    errno = err;     // the file's reason, for the report
    return fail(kFileRefused), -1;
  }
  return n;
}

// TLS hands out at most one record per read: a receive takes as many as fit, and a peek
// keeps what it decrypted for the receives after it (a line may span records).
int CAsyncSocket::receiveTls(void* buf, int len, bool peek) {
  std::string& kept = m_impl->peeked;
  char* out = static_cast<char*>(buf);
  auto io = TlsSession::Io::Ok;
  int got = 0;
  if (peek) {
    while (static_cast<int>(kept.size()) < len && io == TlsSession::Io::Ok && !m_impl->tlsClosed) {
      char block[16384];
      int n = 0;
      io = m_impl->tls->read(block, static_cast<int>(sizeof block), n);
      kept.append(block, static_cast<std::size_t>(n));
    }
    got = static_cast<int>(std::min<std::size_t>(kept.size(), static_cast<std::size_t>(len)));
    std::memcpy(out, kept.data(), static_cast<std::size_t>(got));
  } else {
    got = static_cast<int>(std::min<std::size_t>(kept.size(), static_cast<std::size_t>(len)));
    std::memcpy(out, kept.data(), static_cast<std::size_t>(got));
    kept.erase(0, static_cast<std::size_t>(got));
    while (got < len && io == TlsSession::Io::Ok && !m_impl->tlsClosed) {
      int n = 0;
      io = m_impl->tls->read(out + got, len - got, n);
      got += n;
    }
  }
  if (io == TlsSession::Io::Closed) m_impl->tlsClosed = true;
  m_readPending = false;
  arm();
  if (got > 0 || io == TlsSession::Io::Closed || m_impl->tlsClosed) return got;
  if (io == TlsSession::Io::Failed) return fail(WSAECONNRESET), -1;
  return fail(WSAEWOULDBLOCK), -1;
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
  bool readOn = !m_readPending && !m_closeReported && !m_connecting;
  bool writeOn = !m_listening && (m_connecting || m_writeWanted);
  if (m_impl->handshaking) {
    readOn = m_impl->hsWantRead;
    writeOn = m_impl->hsWantWrite;
  }
  // A socket not yet connecting would read as closed and writable.
  if (m_impl->lookup) readOn = writeOn = false;
  m_impl->read->setEnabled(readOn);
  m_impl->write->setEnabled(writeOn);
  // Bytes TLS already holds wake no socket notifier: their read event is posted instead.
  bool tlsHolds = m_impl->tls && !m_impl->handshaking &&
                  (!m_impl->peeked.empty() || m_impl->tlsClosed || m_impl->tls->pending());
  if (readOn && tlsHolds && !m_impl->readQueued) {
    m_impl->readQueued = true;
    QTimer::singleShot(0, m_impl->read.get(), [this] {
      m_impl->readQueued = false;
      if (!m_readPending && !m_closeReported) onReadable();
    });
  }
}

void CAsyncSocket::onReadable() {
  if (m_listening) {
    m_readPending = true;
    arm();
    OnAccept(0);
    return;
  }
  if (m_impl->handshaking) return stepHandshake();
  if (m_impl->tls) return onTlsReadable();
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

void CAsyncSocket::onTlsReadable() {
  auto io = TlsSession::Io::Ok;
  if (m_impl->peeked.empty() && !m_impl->tlsClosed) {
    char c;
    int n = 0;
    io = m_impl->tls->peek(&c, 1, n);
    if (io == TlsSession::Io::WantRead || io == TlsSession::Io::WantWrite) return;  // a record is still arriving
    if (io == TlsSession::Io::Closed) m_impl->tlsClosed = true;
  }
  if (io == TlsSession::Io::Ok && (!m_impl->peeked.empty() || !m_impl->tlsClosed)) {
    m_readPending = true;
    arm();
    OnReceive(0);
    return;
  }
  m_closeReported = true;
  m_writeWanted = false;
  arm();
  OnClose(io == TlsSession::Io::Failed ? WSAECONNRESET : 0);
}

void CAsyncSocket::onWritable() {
  if (m_impl->handshaking) return stepHandshake();
  if (m_connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len);
    m_connecting = false;
    // The next address of the host, if any: the caller sees one connect.
    if (err != 0 && m_impl->nextAddr < m_impl->addrs.size()) {
      if (connectNext() || t_lastError == WSAEWOULDBLOCK) return;
      m_closeReported = true;
      m_writeWanted = false;
      arm();
      OnConnect(t_lastError);
      return;
    }
    if (err != 0) {
      m_closeReported = true;
      m_writeWanted = false;
      arm();
      OnConnect(WsaErrorFromErrno(err));
      return;
    }
    if (!m_impl->tlsHost.empty()) return startTls();
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

bool CAsyncSocket::Bind(const std::string& address) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  int family = 0;
  auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (::inet_pton(AF_INET, address.c_str(), &a4->sin_addr) == 1) {
    family = a4->sin_family = AF_INET;
    len = sizeof *a4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr) == 1) {
    family = a6->sin6_family = AF_INET6;
    len = sizeof *a6;
  } else {
    return fail(WSAEINVAL), false;
  }
  if (!useFamily(family, false)) return false;
  if (::bind(m_fd, reinterpret_cast<sockaddr*>(&ss), len) < 0) return failErrno(), false;
  return true;
}
