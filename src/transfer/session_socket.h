// A transfer's socket: calls its handler back directly on every event, sends whole
// strings, and keeps a receive buffer from which whole lines are taken.
#pragma once
#include <string>

#include "platform/socket.h"

// The events of a socket, and the kinds of socket a connection has.
namespace sockmsg {
constexpr int kHttp = 0, kFtpControl = 1, kFtpData = 2, kFtpPassiveData = 3;  // kinds
enum class Event { Accept, Close, Connect, Read, Write };
}  // namespace sockmsg

class SocketHandler {
 public:
  virtual ~SocketHandler() = default;
  // error: the socket error code of the event (0 none).
  virtual void socketEvent(int kind, sockmsg::Event event, int error) = 0;
  // Bytes moved that no event reports (a TLS handshake step).
  virtual void socketActive() {}
};

class CSessionSocket : public CAsyncSocket {
 public:
  // A reply line longer than this is taken as it stands, unended: the caller refuses it.
  static constexpr std::size_t kMaxLine = 8191;

  CSessionSocket() = default;
  explicit CSessionSocket(SocketHandler* handler, int kind = 0) : m_handler(handler), m_kind(kind) {}
  ~CSessionSocket() override = default;

  // Who hears the events from now on (a kept connection changes hands).
  void setHandler(SocketHandler* handler) { m_handler = handler; }

  // Queues text for sending and sends what the connection takes now; the rest goes out
  // before the next write event is reported, so nothing is sent twice or in part.
  // Returns the length, or -1 when the connection failed.
  int sendString(const std::string& text);
  bool sendPending() const { return !m_pendingOut.empty(); }

  // Reads what waits into the buffer, at most `most` bytes (once per read event): false on
  // a socket error.
  bool fill(int most = 65536);
  // One whole line from the buffer, up to and including its line feed, trailing white space
  // removed (bytes from a zero byte on are dropped). A line that is not ended yet stays
  // unless kMaxLine bytes wait or the peer has closed. Returns the bytes taken, -1 when no
  // line can be had now.
  int takeLine(std::string& line);
  // Bytes received into the buffer and not taken yet.
  std::size_t buffered() const { return m_in.size() - m_inAt; }
  // Takes up to max buffered bytes; returns them.
  std::string takeBuffered(std::size_t max);
  // The peer's close was read (a receive gave 0).
  bool ended() const { return m_ended; }

  void OnReceive(int error) override;
  void OnSend(int error) override;
  void OnAccept(int error) override;
  void OnConnect(int error) override;
  void OnClose(int error) override;
  void OnHandshakeStep() override {
    if (m_handler) m_handler->socketActive();
  }

 private:
  void report(sockmsg::Event event, int error);
  SocketHandler* m_handler = nullptr;
  int m_kind = 0;
  std::string m_pendingOut;
  std::string m_in;         // received and not taken yet, from m_inAt on
  std::size_t m_inAt = 0;
  bool m_ended = false;
};

// The text for a socket error code.
const char* socketErrorText(int code);
