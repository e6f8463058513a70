// The HTTP client: the request on the first write event, the reply one line (or one run
// of body blocks) per read event, and the close that ends the file.
#pragma once
#include "transfer/http_parse.h"
#include "transfer/proxy_tunnel.h"
#include "transfer/transfer.h"

class HttpTransfer : public Transfer {
 public:
  using Transfer::Transfer;
  bool bodyDiscarded() const override { return m_dropConnection; }

  static constexpr int kMaxRedirects = 20;
  // A reply header past these is refused: a hostile server cannot make it grow for ever.
  static constexpr int kMaxHeaderLine = 8191;
  static constexpr std::int64_t kMaxHeaderBlock = 256 * 1024;
  static constexpr int kMaxHeaderLines = 1000;

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  int socketKind() const override { return sockmsg::kHttp; }

 private:
  enum class State { Connected, RequestSent, HeaderLines, Body };

  LRESULT onWrite(WPARAM wParam, LPARAM lParam);
  LRESULT onRead(WPARAM wParam, LPARAM lParam);
  LRESULT onClose(WPARAM wParam, LPARAM lParam);
  LRESULT onConnectResult(WPARAM wParam, LPARAM lParam);

  bool sendRequest();                        // false when the connection failed
  bool statusLine(const std::string& line);  // false: the reply was given up
  bool headerEnd();                          // false: the reply was given up
  void headerLine(const std::string& name, const std::string& value);
  void location(const std::string& value);
  void authenticate(const std::string& value);
  void validator(const std::string& value);
  void body();
  // The whole body is on disk: the file is complete without waiting for the close.
  void bodyComplete();
  void tunnelRead();
  // Stops reading a reply that is being given up, before the session says why.
  void giveUp();
  // A reply that breaks the protocol: given up, and said why.
  void badReply(const std::string& what);

  State m_state = State::Connected;
  int m_httpStatus = 0;
  std::string m_reason;
  std::int64_t m_headerBytes = 0;
  int m_headerLines = 0;
  // What the body must hold, from Content-Length or Content-Range; -1 unknown.
  std::int64_t m_bodyLength = -1;
  std::int64_t m_rangeFirst = -1;  // the first byte a Content-Range names; -1 none
  // The reply is abandoned: its close ends nothing, or opens the next connection.
  bool m_dropConnection = false;
  bool m_reconnectOnClose = false;
  bool m_redirected = false;  // a redirect was taken: the body is not the file
  bool m_chunked = false;
  ChunkedDecoder m_chunks;
  ProxyTunnel m_tunnel;
};
