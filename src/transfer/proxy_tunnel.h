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
  // The connection is a kept one whose tunnel an earlier request opened.
  void alreadyOpen() { m_sent = m_open = true; }
  // The write event: the CONNECT request (with the proxy's login when the route has one),
  // once; false when it cannot be sent. log: what went out, the login masked.
  bool onWrite(CSessionSocket& s, const Download& d, const Route& route, std::string& log);
  // The proxy's reply, one whole line: Open after a 2xx reply's empty line; Refused after
  // any other reply's empty line (status(), reason() and realm() tell which).
  Step onLine(const std::string& line);
  // The status of a reply that refused the tunnel, 0 when none came (yet).
  int status() const { return m_refused ? m_status : 0; }
  const std::string& reason() const { return m_reason; }
  // The proxy wants a login, or another one: 407, or 401 as some proxies answer a wrong one
  // (only the proxy answers a CONNECT). realm(): what its challenge names.
  bool loginRefused() const { return m_refused && (m_status == 407 || m_status == 401); }
  const std::string& realm() const { return m_realm; }

 private:
  bool m_sent = false;
  bool m_open = false;
  bool m_refused = false;
  int m_status = 0;
  std::string m_reason;
  std::string m_realm;
};
