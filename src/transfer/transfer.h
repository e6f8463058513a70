// A connection: one conversation with a server (or its proxy), for one protocol. It gets
// what it needs as a value (ConnectionRequest), owns its sockets and the open output file,
// writes the bytes it receives at their offsets, and reports back with values
// (ConnectionEvents). It asks nobody anything and touches no store: the download job
// decides what a reply or an outcome means.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/timer.h"
#include "platform/win.h"
#include "transfer/download.h"
#include "transfer/rate_limit.h"
#include "transfer/route.h"
#include "transfer/session_socket.h"

// How a connection ended, or what it needs before it can go on.
enum class Outcome {
  Finished,           // the connection closed cleanly with the whole reply: the file is complete
  Broken,             // the connection broke (code: the socket error, 0 when it was only lost)
  ConnectFailed,      // the connection could not be made (code: the socket error)
  DataConnectFailed,  // the FTP passive data connection could not be made (code: the socket error)
  SocketFailed,       // a socket could not be set up (code: the socket error, text: why)
  CommandFailed,      // an FTP command could not be sent (code: the socket error)
  WriteFailed,        // the output file refused a block
  Redirected,         // text: the new address, resolved against the old one
  Refused,            // an HTTP error reply (code: the status, text: the reason phrase)
  ServerBusy,         // an HTTP reply that says "later" (code: the status, text: the reason)
  NoRange,            // the server refused the range request: ask again without one, from 0
  Restart,            // the server's file cannot continue the bytes on disk: fetch it from 0
  BadReply,           // a reply that breaks the protocol (text: what is wrong)
  FtpRefused,         // an FTP error reply (code: its number, text: the reply)
  FtpLoginRefused,    // 530 to the password (text: the reply): the connection waits for newLogin()
  BadPassiveReply,    // a 227 reply without a usable port
  NeedCredentials,    // a Basic authorization challenge (text: the realm)
  AuthUnsupported,    // any other authorization scheme
  FileChanged,        // the server's file is not the one partly on disk: fetch it again from 0
  TlsFailed,          // the TLS handshake or the certificate check (code kCertificateRefused) failed (text: the reason)
  TunnelRefused,      // the proxy refused the tunnel (code: its status, 0 when it closed; text: the reason)
  ProxyLoginRefused,  // the HTTP proxy wants a login (code: 407, or 401 to CONNECT; text: its realm, "" none)
  PieceDone,          // the connection fetched the range it was given (up to ConnectionRequest::end)
  PieceRefused,       // a further connection's reply was not exactly the part asked for: dropped unread
  Mismatch,           // bytes fetched again differ from those on disk (ConnectionRequest::compareUntil)
  // What the download job concludes for the session:
  TooManyRedirects,  // one redirect more than allowed in a row
  Reconnect,         // open the next connection now
  GaveUp,            // a temporary failure once too often (text: why)
  NextSite,          // a mirror list's site failed for now: the next one (text: why)
};

// Outcome::TlsFailed's code when the server's certificate did not pass the check.
inline constexpr int kCertificateRefused = 1;

// Who gave the answer that an outcome stands for.
enum class Answerer { Local, Origin, Proxy };

struct ConnectionResult {
  Outcome what = Outcome::Broken;
  int code = 0;
  std::string text;
  Answerer who = Answerer::Local;
  int retryAfter = -1;  // seconds the server asked to wait, -1 none
};

// Things shown or kept while the connection goes on.
enum class Note {
  Status,     // text for the top line
  NoResume,   // the server sends the file from its start: it is written from byte 0
  Receiving,  // a body read event before the first byte of this connection
  Log,        // text for the header log
  Renamed,    // the new file took the name the server gave (text: its path)
};

// What a reply's header said about its body.
struct ReplyFacts {
  std::int64_t first = 0;    // where its first byte lands in the file
  std::int64_t length = -1;  // its length, -1 unknown
  std::string validator;     // Last-Modified, "" none
  std::string fileName;      // the name Content-Disposition gives, as sent ("" none)
  std::string digest;        // the whole file's digest the server gives ("sha256=hex"), "" none
  std::string etag;          // the ETag, "" none
  std::int64_t total = -1;   // the whole file's length, -1 unknown
  bool ranges = false;       // the server answers range requests (a 206, or Accept-Ranges: bytes)
};

// What one connection is to fetch.
struct ConnectionRequest {
  Download address;          // the URL, its parts and the login
  Route route;               // straight to the server or through its proxy
  std::int64_t first = 0;    // the first byte wanted
  std::string validator;     // the stamp of the bytes on disk, "" none
  bool http10 = false;       // the server does not resume: no range, HTTP/1.0
  int timeoutSeconds = 0;    // no byte either way for this long breaks the connection (0 never)
  bool ftpPassive = false;   // FTP straight to the server: we open the data connection (EPSV,
                             // then PASV), listening (PORT) only when the server refuses both
  // If-Range of a resume or a piece: the version the bytes on disk belong to ("" none).
  std::string ifRange;
  // A further connection of a download in pieces: it asks exactly [first, end) of a file of
  // the whole length total, and takes nothing else.
  bool piece = false;
  std::int64_t end = -1;     // the byte after the last wanted, -1 the file's end
  std::int64_t total = -1;
  // Only the reply is wanted (another site's length and date): nothing is written.
  bool probe = false;
  // Bytes before this offset are on disk already: they are compared with the file, never
  // written over, and the first that differs ends the connection (Outcome::Mismatch).
  std::int64_t compareUntil = -1;
  // The download's speed limit, shared by its connections; null none.
  std::shared_ptr<RateLimit> limit;
};

class ConnectionEvents {
 public:
  virtual ~ConnectionEvents() = default;
  virtual void connectionNote(Note what, const std::string& text) = 0;
  // The reply's header is read: false when its body is not to be taken (the connection
  // has then been told its outcome).
  virtual bool connectionReply(const ReplyFacts& facts) = 0;
  // n bytes are in the file at offset.
  virtual void connectionWrote(std::int64_t offset, std::int64_t n) = 0;
  // The connection is closed (FtpLoginRefused: waiting) and says why.
  virtual void connectionOutcome(const ConnectionResult& r) = 0;
};

// A connection as the download job sees it: started, told where to stop, closed. The job
// is given a factory of these, so a test can hand it connections without sockets.
class Connection {
 public:
  virtual ~Connection() = default;
  // Makes the sockets and starts connecting; false (failed: why) when that fails at once.
  virtual bool start(ConnectionResult& failed) = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  virtual const Route& route() const = 0;
  // Where the connection stops (-1 the body's end), and a new such place.
  virtual std::int64_t end() const = 0;
  virtual void limitTo(std::int64_t end) = 0;
  // The download's speed limit from now on (null none): changed while it runs.
  virtual void setLimit(std::shared_ptr<RateLimit>) {}
  // A new login for a connection that waits after FtpLoginRefused: false when it cannot go
  // out on this connection (the server has hung up; the connection is then closed).
  virtual bool newLogin(const std::string& user, const std::string& password) {
    (void)user, (void)password;
    return false;
  }
};

using ConnectionFactory =
    std::function<std::shared_ptr<Connection>(ConnectionRequest, ConnectionEvents&, std::shared_ptr<CFile>)>;

class ConnectionPool;

class Transfer : public Connection, public SocketHandler, public std::enable_shared_from_this<Transfer> {
 public:
  Transfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile);
  ~Transfer() override;

  bool start(ConnectionResult& failed) override;

  // The connection's socket; false with the error code and the text's id when it cannot
  // be made.
  bool createSockets(int& error, int& messageId);
  // Starts connecting along the request's route; false when the connect failed at once (error set).
  bool connect(int& error);
  // Closes the sockets and the output file; further socket events are ignored.
  void close() override;
  bool isOpen() const override { return !m_closed; }
  const Route& route() const override { return m_req.route; }
  // Bytes written to the file by this connection.
  std::int64_t bytesWritten() const { return m_written; }
  // Where the next byte lands, and where the connection stops (-1 the body's end).
  std::int64_t position() const { return m_offset; }
  std::int64_t end() const override { return m_req.end; }
  // The connection stops at end (a piece of its range went to another connection).
  void limitTo(std::int64_t end) override { m_req.end = end; }
  // A read waiting for the old limit's budget goes on when that wait ends.
  void setLimit(std::shared_ptr<RateLimit> limit) override { m_req.limit = std::move(limit); }
  // The output file, for the download's further connections.
  std::shared_ptr<CFile> file() const { return m_outFile; }

  // Blocks that arrive full are read together, up to this many per read event: one event
  // per block costs a loop wake-up, more than the copy itself.
  static constexpr int kBlocksPerRead = 16;
  // Under a speed limit a reply's header is read this much at a time, so that the body
  // bytes read along with it stay a small burst.
  static constexpr int kLimitedHeaderBlock = 2048;

  void socketEvent(int kind, sockmsg::Event event, int error) final;
  void socketActive() final { active(); }

 protected:
  // One socket event of this connection's, while it is open.
  virtual void onSocketEvent(int kind, sockmsg::Event event, int error) = 0;
  // The kind of the connection's socket.
  virtual int socketKind() const = 0;
  virtual void closeSockets();
  // The connection is waiting for the user's answer: no time runs out.
  virtual bool asking() const { return false; }

  // Closes the connection and reports how it ended.
  void finish(Outcome what, int code = 0, const std::string& text = std::string(), Answerer who = Answerer::Local);
  void report(const ConnectionResult& r);
  // Bytes went one way or the other: the connection is alive.
  void active();
  // Starts the watch that breaks the connection after Timeout without a byte either way.
  void watchIdle();
  void note(Note what, const std::string& text = std::string()) { m_events.connectionNote(what, text); }
  void status(const std::string& text) { note(Note::Status, text); }
  void log(const std::string& text) { note(Note::Log, text); }
  // Writes n bytes of the body at the file's position; false when the file refused them
  // (reported, and the connection is closed).
  bool writeBody(const char* data, std::int64_t n);
  // The file refused bytes: reported with the system's reason ("No space left on device").
  void fileRefused();
  // The server sends the file from its start: it is written from byte 0.
  void restartFile();
  // Bytes that may still be written before the connection's end; -1 no end.
  std::int64_t leftInPiece() const { return m_req.end >= 0 ? m_req.end - m_offset : -1; }
  bool pieceComplete() const { return m_req.end >= 0 && m_offset >= m_req.end; }
  // Over the speed limit: resume() is called once bytes may be read again (nothing is read
  // meanwhile, so the socket raises no further read event).
  bool overLimit(std::function<void()> resume);
  // Bytes that a read may take under the speed limit (want < 0: any).
  std::int64_t budget(std::int64_t want) const;
  // A read found no budget before its first receive: other processes took the bytes of a
  // shared limit after overLimit saw them. No read event follows a read that received
  // nothing, so the wait of overLimit's resume() is started here.
  void waitForBudget();
  // Reads up to kBlocksPerRead blocks from s (its buffered bytes first); take(data, n) says
  // whether to go on.
  template <class Take>
  void readBlocks(CSessionSocket& s, Take take);
  // Body bytes straight from s into the output file, never through this process: up to
  // kBlocksPerRead blocks, each at most left() bytes (< 0: no limit); after each block
  // took(n) says whether to go on. False, having read nothing, when s cannot (TLS, no file,
  // bytes still buffered, nothing left that is the file's): then the caller reads.
  template <class Left, class Took>
  bool receiveToFile(CSessionSocket& s, Left left, Took took);

  ConnectionRequest m_req;
  ConnectionEvents& m_events;
  std::shared_ptr<CFile> m_outFile;  // shared by the download's connections
  std::unique_ptr<CSessionSocket> m_ctrlSocket;  // the HTTP connection, or the FTP control connection
  std::int64_t m_bodyStart = 0;  // where this connection's first body byte lands
  std::int64_t m_offset = 0;     // where the next body byte lands in the file
  std::int64_t m_written = 0;  // bytes this connection wrote (m_bytesThisConn)
  bool m_closed = false;
  bool m_reported = false;    // its end has been told
  bool m_peerClosed = false;  // this connection's close event has come
  int m_lastSockError = 0;
  CTimer m_idle;
  CTimer m_throttle;
  std::function<void()> m_resume;  // what overLimit was first given: the connection's read
  DWORD m_lastActivity = 0;
  char m_recvBuf[65536];  // large blocks: fewer receive calls on a fast link
};

// The connection for the request's service (FTP or HTTP), on a connection of its own that
// the server closes after the reply.
std::shared_ptr<Transfer> makeTransfer(ConnectionRequest req, ConnectionEvents& events, std::shared_ptr<CFile> outFile);
// The factory of connections that take kept connections from pool and leave theirs in it
// (HTTP; FTP as makeTransfer). The pool must outlive every connection made.
ConnectionFactory pooledConnectionFactory(ConnectionPool& pool);

template <class Take>
void Transfer::readBlocks(CSessionSocket& s, Take take) {
  if (s.buffered() > 0) {
    std::string early = s.takeBuffered(sizeof m_recvBuf);
    if (m_req.limit) m_req.limit->consume(static_cast<std::int64_t>(early.size()));
    if (!take(early.data(), static_cast<int>(early.size())) || m_closed) return;
  }
  for (int i = 0; i < kBlocksPerRead; ++i) {
    int want = static_cast<int>(budget(sizeof m_recvBuf));
    if (want == 0) {
      if (i == 0) waitForBudget();
      return;
    }
    int n = s.Receive(m_recvBuf, want);
    if (n < 0) {
      // Running dry after the first block is no failure.
      if (i == 0 || CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) m_lastSockError = CAsyncSocket::GetLastError();
      return;
    }
    if (n == 0) return;  // the peer has closed: its close event follows
    active();
    if (m_req.limit) m_req.limit->consume(n);
    if (!take(m_recvBuf, n)) return;
    // The block may have ended the transfer.
    if (n < want || m_closed) return;
  }
}

template <class Left, class Took>
bool Transfer::receiveToFile(CSessionSocket& s, Left left, Took took) {
  if (!m_outFile || !s.CanReceiveToFile() || s.buffered() > 0 || m_offset < m_req.compareUntil) return false;
  for (int i = 0; i < kBlocksPerRead; ++i) {
    std::int64_t wanted = left();
    if (wanted == 0) return i > 0;
    std::int64_t want = budget(wanted);
    if (want == 0) {
      if (i == 0) waitForBudget();
      return true;
    }
    std::int64_t at = m_offset;
    std::int64_t n = s.ReceiveToFile(m_outFile->Handle(), want < 0 ? INT64_MAX : want, m_outFile->IsStream() ? nullptr : &at);
    if (n < 0) {
      int error = CAsyncSocket::GetLastError();
      if (error == kFileRefused)
        fileRefused();
      else if (i == 0 || error != WSAEWOULDBLOCK)  // running dry after the first block is no failure
        m_lastSockError = error;
      return true;
    }
    if (n == 0) return true;  // the peer has closed: its close event follows
    active();
    if (m_req.limit) m_req.limit->consume(n);
    at = m_offset;
    m_offset += n;
    m_written += n;
    m_events.connectionWrote(at, n);
    if (m_closed || !took(n)) return true;
  }
  return true;
}
