#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>

namespace {
// The trust store is read when the first certificate is checked, not before the first
// handshake byte: a system's whole store takes longer to read than a loopback exchange.
int verifyWithTrust(X509_STORE_CTX* store, void* ctx) {
  static const bool loaded = SSL_CTX_set_default_verify_paths(static_cast<SSL_CTX*>(ctx)) == 1;
  (void)loaded;
  return X509_verify_cert(store);
}

// The latest session of each server by the name it was verified for and its port: a
// further connection to it (a download in pieces, the next file of a batch) resumes it
// where the server allows, without a full handshake. A batch may reach many servers: the
// least recently kept go beyond a few dozen.
constexpr std::size_t kKeptSessions = 64;
struct SessionFree {
  void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
struct KeptSession {
  std::unique_ptr<SSL_SESSION, SessionFree> session;
  std::uint64_t stamp = 0;
};
// Made after the library's start, so freed before its end.
std::map<std::string, KeptSession>& sessions() {
  static std::map<std::string, KeptSession> kept;
  return kept;
}

int keepSession(SSL* ssl, SSL_SESSION* session) {
  static std::uint64_t stamps = 0;
  const auto* key = static_cast<const std::string*>(SSL_get_app_data(ssl));
  if (!key) return 0;
  auto& kept = sessions();
  kept[*key] = KeptSession{std::unique_ptr<SSL_SESSION, SessionFree>(session), ++stamps};
  if (kept.size() > kKeptSessions)
    kept.erase(std::min_element(kept.begin(), kept.end(),
                                [](const auto& a, const auto& b) { return a.second.stamp < b.second.stamp; }));
  return 1;  // the reference is kept
}

// One context for the process: the trust store is read once, however many connections.
SSL_CTX* clientContext(std::string& error) {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    if (!c) return c;
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    // OpenSSL's default paths honour SSL_CERT_FILE and SSL_CERT_DIR, as for every program.
    SSL_CTX_set_cert_verify_callback(c, verifyWithTrust, c);
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
    // A close without close_notify is reported as a close that was cut short (cutShort()):
    // the HTTP layer judges it against the announced length. Kernel TLS stays off:
    // user-space records already cost less CPU than curl's, and the peeks and pending
    // checks the socket layer relies on are untried on kernel records.
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(c, keepSession);
    return c;
  }();
  if (!ctx) error = "cannot set up TLS";
  return ctx;
}

std::string libraryReason() {
  unsigned long e = ERR_peek_last_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason ? reason : "the connection was closed during the handshake";
}

std::string nameText(X509_NAME* name) {
  if (!name) return std::string();
  BIO* bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(n > 0 ? n : 0));
  BIO_free(bio);
  return text;
}
}  // namespace

struct TlsSession::Ssl {
  SSL* ssl = nullptr;
  std::string key;  // the name the certificate is checked against and the port: the kept session's key
  ~Ssl() {
    if (!ssl) return;
    // The library takes a connection freed without a shutdown for a failed one and spoils
    // its session for resuming: closing it is no fault of the session, so it is marked shut
    // down (without a word to the peer). After a failure the library refuses the shutdown
    // and the session is spoilt as it should be.
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_shutdown(ssl);
    ERR_clear_error();
    SSL_free(ssl);
  }
};

TlsSession::TlsSession(std::unique_ptr<Ssl> ssl) : m_ssl(std::move(ssl)) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::create(int fd, const std::string& hostText, unsigned port, std::string& error) {
  SSL_CTX* ctx = clientContext(error);
  if (!ctx) return nullptr;
  auto s = std::make_unique<Ssl>();
  s->ssl = SSL_new(ctx);
  if (!s->ssl || SSL_set_fd(s->ssl, fd) != 1) {
    error = libraryReason();
    return nullptr;
  }
  std::string host = hostText;
  if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned char addr[16];
  bool literal = inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(s->ssl);
  // An address is checked against the certificate's IP entries and sent without SNI, which
  // names hosts only.
  int ok = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                   : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) && SSL_set_tlsext_host_name(s->ssl, host.c_str());
  if (ok != 1) {
    error = "invalid host name " + host;
    return nullptr;
  }
  s->key = host + ":" + std::to_string(port);
  SSL_set_app_data(s->ssl, &s->key);
  if (auto kept = sessions().find(s->key); kept != sessions().end()) SSL_set_session(s->ssl, kept->second.session.get());
  SSL_set_connect_state(s->ssl);
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(s)));
}

TlsSession::Io TlsSession::result(int rc, int& count, int len) {
  count = 0;
  if (rc > 0) {
    count = len < 0 ? 0 : rc;
    return Io::Ok;
  }
  switch (SSL_get_error(m_ssl->ssl, rc)) {
    case SSL_ERROR_WANT_READ: return Io::WantRead;
    case SSL_ERROR_WANT_WRITE: return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return Io::Closed;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0) {
        m_error = "connection reset";
        m_peerGone = true;
        return Io::Failed;
      }
      [[fallthrough]];
    default: {
      // A stream cut without close_notify: closed, but only a known length can say whether
      // all of it came.
      unsigned long e = ERR_peek_error();
      if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        m_cutShort = true;
        return Io::Closed;
      }
      long verify = SSL_get_verify_result(m_ssl->ssl);
      m_unverified = verify != X509_V_OK;
      m_error = m_unverified ? X509_verify_cert_error_string(verify) : libraryReason();
      ERR_clear_error();
      return Io::Failed;
    }
  }
}

TlsSession::Io TlsSession::handshake() {
  int ignored;
  Io io = result(SSL_do_handshake(m_ssl->ssl), ignored, -1);
  // A close or a reset (the hello unread when it closed) read alike: the server hung up.
  if (io != Io::Closed && !(io == Io::Failed && (m_error.empty() || m_peerGone))) return io;
  m_error = "the server closed the connection during the handshake";
  m_unverified = false;
  return Io::Failed;
}

TlsSession::Io TlsSession::read(char* buf, int len, int& got) { return result(SSL_read(m_ssl->ssl, buf, len), got, len); }

TlsSession::Io TlsSession::peek(char* buf, int len, int& got) { return result(SSL_peek(m_ssl->ssl, buf, len), got, len); }

TlsSession::Io TlsSession::write(const char* buf, int len, int& sent) {
  return result(SSL_write(m_ssl->ssl, buf, len), sent, len);
}

bool TlsSession::pending() const { return SSL_has_pending(m_ssl->ssl) == 1; }

std::string TlsSession::summary() const {
  std::string text = std::string(SSL_get_version(m_ssl->ssl)) + ", " + SSL_get_cipher_name(m_ssl->ssl) + "\r\n";
  if (X509* cert = SSL_get1_peer_certificate(m_ssl->ssl)) {
    text += "Subject: " + nameText(X509_get_subject_name(cert)) + "\r\n";
    text += "Issuer: " + nameText(X509_get_issuer_name(cert)) + "\r\n";
    X509_free(cert);
  }
  return text;
}
