// The tunnel an https download opens through the HTTP proxy: "CONNECT host:port", the
// proxy's reply read line by line, then TLS to the origin inside it.
#pragma once
#include <string>

#include "transfer/download.h"
#include "transfer/route.h"
#include "transfer/session_socket.h"

class ProxyTunnel {
 public:
  enum class Step { Waiting, Open, Refused };

  // The connection must open the tunnel before its request goes out.
  bool opening(const Download& d, const Route& route) const { return d.m_secure && route.viaProxy && !m_open; }
  // The write event: the CONNECT request, once; false when it cannot be sent. log: what went out.
  bool onWrite(CSessionSocket& s, const Download& d, std::string& log);
  // The proxy's reply, one whole line: Open after a 2xx reply's empty line; Refused at any
  // other status (status() and reason() tell which).
  Step onLine(const std::string& line);
  int status() const { return m_status; }
  const std::string& reason() const { return m_reason; }

 private:
  bool m_sent = false;
  bool m_open = false;
  int m_status = 0;
  std::string m_reason;
};
