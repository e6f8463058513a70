#include "transfer/proxy_tunnel.h"

#include "transfer/http_parse.h"
#include "transfer/url.h"

bool ProxyTunnel::onWrite(CSessionSocket& s, Download& d) {
  if (m_sent) return true;
  std::string authority = d.m_server + ":" + std::to_string(d.m_port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
  d.m_headers += "----Proxy Tunnel----\r\n" + request;
  m_sent = true;
  return s.sendString(request) >= 0;
}

ProxyTunnel::Step ProxyTunnel::onRead(CSessionSocket& s, Download& d) {
  std::string line;
  if (!m_sent || s.receiveLine(line, true) <= 0) return Step::Waiting;
  line = trim(line);
  d.m_headers += line + "\r\n";
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
