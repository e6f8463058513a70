#include "transfer/proxy_tunnel.h"

#include "transfer/http_parse.h"
#include "transfer/url.h"

bool ProxyTunnel::onWrite(CSessionSocket& s, const Download& d, std::string& log) {
  if (m_sent) return true;
  std::string authority = d.m_server + ":" + std::to_string(d.m_port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  log = "----Proxy Tunnel----\r\n" + request;
  m_sent = true;
  return s.sendString(request) >= 0;
}

ProxyTunnel::Step ProxyTunnel::onLine(const std::string& line) {
  if (m_status == 0) {
    if (!parseStatusLine(line, m_status, m_reason)) m_status = 0;
    if (m_status < 200 || m_status > 299) {
      if (m_status == 0) m_reason = line;
      return Step::Refused;
    }
    return Step::Waiting;
  }
  if (!line.empty()) return Step::Waiting;
  m_open = true;
  return Step::Open;
}
