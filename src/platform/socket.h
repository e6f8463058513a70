// Non-blocking TCP sockets with asynchronous event callbacks.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct addrinfo;
struct sockaddr_storage;

constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
// No such host name; the resolver gave no answer this time.
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
// Not a system error: the TLS handshake failed (TlsError() says why).
constexpr int kTlsFailed = 11100;
// Not a socket error: the file given to ReceiveToFile refused the bytes.
constexpr int kFileRefused = 11101;

// Socket options for SetSockOpt (socket level).
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;

// Maps an errno value to the socket error code the program knows.
int WsaErrorFromErrno(int err);

// How host names are looked up, on a worker thread: getaddrinfo, or a test's script (nullptr
// restores getaddrinfo). Literal addresses never reach it.
using NameLookup = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
void SetNameLookup(NameLookup lookup);

// Event semantics: read is reported while data waits, once per receive; write once
// when the connection stands and again after a send that would block; close once,
// after every byte has been delivered; accept when a connection waits; connect with
// its result. Errors are the numeric codes above.
// A host name is tried at each of its addresses (IPv6 and IPv4) until one connects; the
// caller sees one connect. A name is looked up off the event loop (a literal address is
// not): Connect then answers would-block, and a failed lookup is a connect failing with
// WSAHOST_NOT_FOUND (no such name) or WSATRY_AGAIN (no answer this time). Sockets live on the
// application's thread. A secured socket does its TLS handshake first: its first write
// event means the handshake is done and the peer verified, its reads give decrypted bytes,
// and a failed handshake is a connect failing with kTlsFailed.
class CAsyncSocket {
 public:
  CAsyncSocket();
  virtual ~CAsyncSocket();
  CAsyncSocket(const CAsyncSocket&) = delete;
  CAsyncSocket& operator=(const CAsyncSocket&) = delete;

  // The events a caller asks for are named at its call sites; every event is reported and
  // the handlers pass over those they do not need.
  // Creates a TCP socket bound to any local address and port (0: system-chosen).
  bool Create(unsigned port = 0, long events = 0x3F);
  // host: a name, an address, or an address in brackets ("[::1]").
  bool Connect(const std::string& host, unsigned port);
  // Speaks TLS to host (checked against its certificate) once the connection stands, or
  // at once on a standing connection; port (the server's, also through a tunnel) picks the
  // kept session it resumes.
  void SecureWith(const std::string& host, unsigned port);
  bool IsSecure() const;
  // Why the handshake failed; the secured connection's protocol, cipher and certificate.
  std::string TlsError() const;
  std::string TlsSummary() const;
  // The failed TLS handshake was the certificate check's.
  bool TlsUnverified() const;
  // The TLS peer closed without close_notify.
  bool TlsCutShort() const;
  // Binds a created socket to one local address (port system-chosen), in that address's family.
  bool Bind(const std::string& address);
  bool Listen(int backlog = 5);
  bool Accept(CAsyncSocket& connected);
  int Send(const void* buf, int len);
  int Receive(void* buf, int len, bool peek = false);
  // Whether ReceiveToFile can be used: a plain (not TLS) connection on a system that moves
  // socket bytes into files inside the kernel.
  bool CanReceiveToFile() const;
  // Receives up to max bytes (at most one block) straight into the file fd at *offset (moved
  // past them; null: at the file's position), without copying them through this process;
  // answers the read event like Receive. Returns the bytes now in the file, 0 when the peer
  // has closed, -1 with the error set (would block when none wait; kFileRefused when the
  // file did not take them).
  std::int64_t ReceiveToFile(int fd, std::int64_t max, std::int64_t* offset = nullptr);
  void Close();
  bool SetSockOpt(int option, int value);  // kSoReuseAddr, kSoKeepAlive
  bool GetSockName(std::string& address, unsigned& port) const;
  bool GetPeerName(std::string& address, unsigned& port) const;
  int Detach();
  bool Attach(int fd, long events = 0x3F);
  // With FD_WRITE a write event is reported once the connection can take bytes, as when it
  // came to stand (a kept connection that a new request takes over).
  void AsyncSelect(long events);
  // The connection stands and nothing has come on it since it was last read: no byte, no
  // close, no error. A kept-alive connection fit to carry another request.
  bool IdleAlive() const;
  int Handle() const { return m_fd; }

  // The error of the last failed call on this thread, as a socket error code.
  static int GetLastError();

  virtual void OnReceive(int error) { (void)error; }
  virtual void OnSend(int error) { (void)error; }
  virtual void OnOutOfBandData(int error) { (void)error; }
  virtual void OnAccept(int error) { (void)error; }
  virtual void OnConnect(int error) { (void)error; }
  virtual void OnClose(int error) { (void)error; }
  // A step of the TLS handshake moved bytes: the connection is alive before it stands.
  virtual void OnHandshakeStep() {}

 private:
  struct Impl;
  void arm();
  void onReadable();
  void onWritable();
  bool connectNext();
  bool startLookup(const std::string& host, unsigned port);
  void lookupDone(int error, std::vector<sockaddr_storage> addrs);
  bool useFamily(int family, bool fresh);
  void startTls();
  void stepHandshake();
  int receiveTls(void* buf, int len, bool peek);
  void onTlsReadable();
  int m_family = 0;
  int m_fd = -1;
  bool m_listening = false;
  bool m_connecting = false;
  bool m_closeReported = false;
  bool m_readPending = false;   // a read was reported and not yet answered by a receive
  bool m_writeWanted = false;
  std::unique_ptr<Impl> m_impl;
};
