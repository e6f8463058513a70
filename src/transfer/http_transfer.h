// The HTTP client: the request on the first write event, the reply's header lines taken
// whole from the receive buffer, the body written at its offsets, and the close that ends
// the file.
#pragma once
#include "transfer/http_parse.h"
#include "transfer/proxy_tunnel.h"
#include "transfer/transfer.h"

class ConnectionPool;

class HttpTransfer : public Transfer {
 public:
  // pool: kept connections, taken for the request and left for the next one after a reply
  // that ends whole; null: a connection of its own, which the server closes after the reply.
  HttpTransfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile,
               ConnectionPool* pool = nullptr);

  bool start(ConnectionResult& failed) override;

  // A reply header past these is refused: a hostile server cannot make it grow for ever.
  static constexpr int kMaxHeaderLine = static_cast<int>(CSessionSocket::kMaxLine);
  static constexpr std::int64_t kMaxHeaderBlock = 256 * 1024;
  static constexpr int kMaxHeaderLines = 1000;

 protected:
  void onSocketEvent(int kind, sockmsg::Event event, int error) override;
  int socketKind() const override { return sockmsg::kHttp; }

 private:
  enum class State { Connected, RequestSent, Interim, HeaderLines, Body };

  void onWrite(int error);
  void onRead();
  void onClose(int error);
  void onConnectResult(int error);

  bool sendRequest();  // false when the connection failed
  // The lines that wait in the buffer, while the reply's header lasts.
  void headerLines();
  bool statusLine(const std::string& line);  // false: the reply was given up
  bool headerEnd();                          // false: the reply was given up
  bool rangeAnswered();
  bool pieceAnswered();
  // The job takes the reply's facts; false (said: the file changed) when it does not.
  bool replyTaken();
  void headerLine(const std::string& name, const std::string& value);
  void authenticate(const std::string& value);
  void body();
  // The whole body is on disk: the file is complete without waiting for the close.
  void bodyComplete();
  // A reply read to its last byte, on a connection that may stay: it goes to the pool.
  void keepConnection();
  // A kept connection that fails before any byte of the reply (its server closed it
  // meanwhile): the request goes once more on a new connection, unseen, since nothing was
  // lost. False when this is no such failure.
  bool reconnect();
  void tunnelLines();
  // The proxy said no to the tunnel (or closed before it stood): a 407 is its login refused.
  void tunnelRefused();
  // A reply that breaks the protocol: given up, and said why.
  void badReply(const std::string& what);
  // Who answered a status: a proxy answers for itself only with 407.
  Answerer answerer(int status) const;

  State m_state = State::Connected;
  int m_httpStatus = 0;
  std::string m_reason;
  std::int64_t m_headerBytes = 0;
  int m_headerLines = 0;
  ReplyFacts m_facts;
  bool m_reprDigest = false;  // a Repr-Digest gave m_facts.digest
  bool m_busy = false;      // a status that says "later": given up at the header's end
  int m_retryAfter = -1;
  std::string m_proxyRealm;  // a 407's Proxy-Authenticate realm
  // What the body must hold, from Content-Length or Content-Range; -1 unknown.
  std::int64_t m_bodyLength = -1;
  std::int64_t m_askedEnd = -1;  // a piece's end as its request asked it
  std::int64_t m_contentLength = -1;  // -1 none
  std::int64_t m_rangeFirst = -1;    // the bytes a Content-Range names; -1 none
  std::int64_t m_rangeLast = -1;
  std::int64_t m_rangeTotal = -1;    // the whole length it names, -1 unknown
  bool m_multipart = false;          // several parts in one body
  bool m_chunked = false;
  ChunkedDecoder m_chunks;
  ProxyTunnel m_tunnel;
  ConnectionPool* m_pool = nullptr;
  bool m_reused = false;      // the connection came from the pool (and has not failed)
  bool m_http11 = false;      // the reply's version keeps connections open by default
  bool m_keepAsked = false;   // Connection: keep-alive
  bool m_closeAsked = false;  // Connection: close
  bool m_overrun = false;     // bytes came behind the body
  std::unique_ptr<CSessionSocket> m_spent;  // a kept connection given up: closed, let go of with this one
};
