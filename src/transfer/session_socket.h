// A transfer's socket: posts every event to its transfer as a message,
// sends whole strings and receives single lines.
#pragma once
#include <string>

#include "platform/socket.h"
#include "platform/wnd.h"

// Message numbers: WM_USER + base + event offset, base 10 per kind of socket.
namespace sockmsg {
constexpr int kHttp = 0, kFtpControl = 1, kFtpData = 2, kFtpPassiveData = 3;  // kinds
constexpr UINT kAccept = 0, kClose = 1, kConnect = 2, kOob = 3, kRead = 4, kWrite = 5;
constexpr UINT base(int kind) { return WM_USER + 10 + static_cast<UINT>(kind) * 10; }
constexpr UINT msg(int kind, UINT event) { return base(kind) + event; }
}  // namespace sockmsg

class CSessionSocket : public CAsyncSocket {
 public:
  CSessionSocket() = default;
  explicit CSessionSocket(HWND target, int kind = 0) : m_hWndTarget(target), m_kind(kind) {}
  ~CSessionSocket() override = default;

  void setKind(int kind) { m_kind = kind; }
  int kind() const { return m_kind; }
  void setTarget(HWND target) { m_hWndTarget = target; }

  // Queues text for sending and sends what the connection takes now; the rest goes out
  // before the next write event is reported, so nothing is sent twice or in part.
  // Returns the length, or -1 when the connection failed.
  int sendString(const std::string& text);
  bool sendPending() const { return !m_pendingOut.empty(); }

  // One line of at most 255 bytes, up to and including a line feed or zero byte,
  // trailing white space removed. Returns the bytes taken, -1 when nothing can be read
  // now, 0 on a socket error. With wholeLine, lines of up to 8 KiB are taken whole, and a
  // line whose end has not arrived yet is left waiting (unless the peer has closed).
  int receiveLine(std::string& line, bool wholeLine = false);

  void OnReceive(int error) override;
  void OnSend(int error) override;
  void OnOutOfBandData(int error) override;
  void OnAccept(int error) override;
  void OnConnect(int error) override;
  void OnClose(int error) override;

  HWND m_hWndTarget = nullptr;
  int m_kind = 0;

 private:
  void post(UINT event, int error);
  std::string m_pendingOut;
};

// The text for a socket error code.
const char* socketErrorText(int code);
