// TLS on a connected non-blocking socket: the client side of one connection, verified
// against the system's trust store. The socket layer drives it from its own events.
#pragma once
#include <memory>
#include <string>

class TlsSession {
 public:
  // How a step went: done, waiting for the socket to become readable or writable, the
  // peer's clean close (close_notify, or a plain close: the protocol above judges the
  // length), or a failure (error() says why).
  enum class Io { Ok, WantRead, WantWrite, Closed, Failed };

  // A session over fd that checks the certificate against host (a name, or an IP literal,
  // with or without brackets); null with error set when one cannot be made. It resumes the
  // latest session of host and port when one is kept.
  static std::unique_ptr<TlsSession> create(int fd, const std::string& host, unsigned port, std::string& error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // One handshake step; Ok once the peer is verified and the connection can carry data.
  Io handshake();
  // Up to len decrypted bytes; got is what was read (0 unless Ok).
  Io read(char* buf, int len, int& got);
  Io peek(char* buf, int len, int& got);
  Io write(const char* buf, int len, int& sent);
  // Decrypted or received bytes wait inside the library (no socket event will tell).
  bool pending() const;

  // Why the last step failed: the certificate check's reason when it failed, else the
  // library's reason.
  const std::string& error() const { return m_error; }
  // The last failure was the certificate check's (not a hang-up or a protocol error).
  bool unverified() const { return m_unverified; }
  // The peer closed without close_notify: what came may not be all it meant to send.
  bool cutShort() const { return m_cutShort; }
  // Protocol version, cipher, certificate subject and issuer, one per line.
  std::string summary() const;

 private:
  struct Ssl;
  explicit TlsSession(std::unique_ptr<Ssl> ssl);
  Io result(int rc, int& count, int len);
  std::unique_ptr<Ssl> m_ssl;
  std::string m_error;
  bool m_cutShort = false;
  bool m_unverified = false;
  bool m_peerGone = false;  // the connection ended under TLS without a word
};
