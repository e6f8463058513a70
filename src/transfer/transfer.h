// A transfer: one connection's conversation with a server (or its proxy), for one protocol.
// It owns its sockets and the open output file, works on the session's Download value, and
// tells the session what happened through TransferEvents. It asks nobody anything and
// touches no store: the session decides what an outcome means to the user and the queue.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/wnd.h"
#include "transfer/download.h"
#include "transfer/route.h"
#include "transfer/session_socket.h"

// How a connection ended, or what it needs before it can go on.
enum class Outcome {
  Finished,           // the connection closed cleanly with the whole reply: the file is complete
  Broken,             // the connection broke (code: the socket error, 0 when it was only lost)
  ConnectFailed,      // the connection could not be made (code: the socket error)
  DataConnectFailed,  // the FTP passive data connection could not be made (code: the socket error)
  SocketFailed,       // a socket could not be set up (code: the socket error, messageId: the text)
  CommandFailed,      // an FTP command could not be sent (code: the socket error)
  WriteFailed,        // the output file refused a block
  Reconnect,          // this connection is done with; open the next one now
  Redirected,         // m_url holds the new address: prepare it (report returns false to give up)
  TooManyRedirects,
  Refused,          // an HTTP error reply (code: the status, text: the reason phrase)
  BadReply,         // a reply that breaks the protocol (text: what is wrong)
  FtpRefused,       // an FTP error reply (text: the reply)
  FtpLoginRefused,  // 530 to the password (text: the reply); report returns true to log in again
  BadPassiveReply,  // a 227 reply without a usable port
  NeedCredentials,  // a Basic authorization challenge (text: the realm)
  AuthUnsupported,  // any other authorization scheme
  FileChanged,      // the server's file is not the one partly on disk: fetch it again from 0
  TlsFailed,        // the TLS handshake or the certificate check failed (text: the reason)
  TunnelRefused,    // the proxy refused the tunnel (code: its status, 0 when it closed; text: the reason)
};

// Things the session shows or keeps while the transfer goes on.
enum class Note {
  Status,         // text for the top line
  NoResume,       // the server sends the file from its start
  ServerNoRange,  // the server is taken not to resume: m_stupidServer was set
  Validator,      // m_lastModified was set from the reply
  Receiving,      // a body read event before the first byte of this connection
};

class TransferEvents {
 public:
  virtual ~TransferEvents() = default;
  virtual bool transferOutcome(Outcome what, int code, const std::string& text) = 0;
  virtual void transferNote(Note what, const std::string& text) = 0;
  // A block is in the file: m_startOffset + m_bytesThisConn bytes are now on disk.
  virtual void transferWrote() = 0;
};

class Transfer : public CWnd, public std::enable_shared_from_this<Transfer> {
 public:
  Transfer(Download& d, TransferEvents& events, std::unique_ptr<CFile> outFile)
      : m_d(d), m_events(events), m_outFile(std::move(outFile)) {}
  ~Transfer() override;

  // The connection's socket; false with the error code and the text's id when it cannot
  // be made.
  bool createSockets(int& error, int& messageId);
  // Starts connecting along route; false when the connect failed at once (error set).
  bool connect(const Route& route, int& error);
  // Closes the sockets and the output file; further socket events are ignored.
  void close();
  // No byte either way for this many seconds (0: never) breaks the connection.
  void setTimeout(int seconds);
  bool isOpen() const { return !m_closed; }
  int lastSocketError() const { return m_lastSockError; }
  const Route& route() const { return m_route; }
  // The body received is not the file (a redirect's): its bytes are not on disk.
  virtual bool bodyDiscarded() const { return false; }

  // Blocks that arrive full are read together, up to this many per read event: one event
  // per block costs a loop wake-up and a posted message, more than the copy itself.
  static constexpr int kBlocksPerRead = 16;

 protected:
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  // The kind of the connection's socket (its message numbers).
  virtual int socketKind() const = 0;
  virtual void closeSockets();

  bool outcome(Outcome what, int code = 0, const std::string& text = std::string());
  // Bytes went one way or the other: the connection is alive.
  void active();
  // The session is asking the user something on this connection's behalf: no time runs out.
  virtual bool asking() const { return false; }
  void note(Note what, const std::string& text = std::string()) { m_events.transferNote(what, text); }
  void status(const std::string& text) { note(Note::Status, text); }
  void log(const std::string& text) { m_d.m_headers += text; }
  // Writes n bytes of the body at the file's position; false when the file refused them
  // (reported, and the transfer is closed).
  bool writeBody(const char* data, std::int64_t n);
  // The server sends the file from its start: write it from the start too.
  void restartFile();
  // Reads up to kBlocksPerRead full blocks from s into the file; via filter when set.
  template <class Take>
  void readBlocks(CSessionSocket& s, Take take);
  // Body bytes straight from s into the output file, never through this process: up to
  // kBlocksPerRead blocks, each at most left() bytes (< 0: no limit); after each block the
  // session is told, then took(n) says whether to go on. False, having read nothing, when
  // s cannot (TLS, no file, nothing left that is the file's): then the caller reads.
  template <class Left, class Took>
  bool receiveToFile(CSessionSocket& s, Left left, Took took);

  Download& m_d;
  TransferEvents& m_events;
  Route m_route;
  std::unique_ptr<CFile> m_outFile;
  std::unique_ptr<CSessionSocket> m_ctrlSocket;  // the HTTP connection, or the FTP control connection
  bool m_closed = false;
  bool m_peerClosed = false;  // this connection's close event has come
  int m_lastSockError = 0;
  int m_timeoutSeconds = 0;
  DWORD m_lastActivity = 0;
  int m_inOutcome = 0;    // outcomes under way (the session may be showing a box)
  char m_recvBuf[65536];  // large blocks: fewer receive calls on a fast link
};

// The transfer for the download's service (FTP or HTTP).
std::shared_ptr<Transfer> makeTransfer(Download& d, TransferEvents& events, std::unique_ptr<CFile> outFile);

template <class Take>
void Transfer::readBlocks(CSessionSocket& s, Take take) {
  for (int i = 0; i < kBlocksPerRead; ++i) {
    int n = s.Receive(m_recvBuf, sizeof m_recvBuf);
    if (n < 0) {
      // Running dry after the first block is no failure.
      if (i == 0 || CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) m_lastSockError = CAsyncSocket::GetLastError();
      return;
    }
    if (n > 0) active();
    if (!take(n)) return;
    // The block may have ended the transfer.
    if (n < static_cast<int>(sizeof m_recvBuf) || m_closed) return;
  }
}

template <class Left, class Took>
bool Transfer::receiveToFile(CSessionSocket& s, Left left, Took took) {
  if (!m_outFile || !s.CanReceiveToFile()) return false;
  for (int i = 0; i < kBlocksPerRead; ++i) {
    std::int64_t want = left();
    if (want == 0) return i > 0;
    std::int64_t n = s.ReceiveToFile(m_outFile->Handle(), want < 0 ? INT64_MAX : want);
    if (n < 0) {
      int error = CAsyncSocket::GetLastError();
      if (error == kFileRefused)
        outcome(Outcome::WriteFailed);
      else if (i == 0 || error != WSAEWOULDBLOCK)  // running dry after the first block is no failure
        m_lastSockError = error;
      return true;
    }
    if (n == 0) return true;  // the peer has closed: its close event follows
    active();
    m_d.m_bytesThisConn += n;
    m_events.transferWrote();
    if (m_closed || !took(n)) return true;
  }
  return true;
}
