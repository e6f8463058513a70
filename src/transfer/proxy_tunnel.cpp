#include "transfer/proxy_tunnel.h"

#include "transfer/http_parse.h"
#include "transfer/http_request.h"
#include "transfer/url.h"

bool ProxyTunnel::onWrite(CSessionSocket& s, const Download& d, const Route& route, std::string& log) {
  if (m_sent) return true;
  std::string authority = d.m_server + ":" + std::to_string(d.m_port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!route.proxyUser.empty())
    request += "Proxy-Authorization: " + basicCredentials(route.proxyUser, route.proxyPassword) + "\r\n";
  request += "\r\n";
  log = "----Proxy Tunnel----\r\n" + maskedRequest(request);
  m_sent = true;
  return s.sendString(request) >= 0;
}

ProxyTunnel::Step ProxyTunnel::onLine(const std::string& line) {
  if (m_status == 0) {
    if (!parseStatusLine(line, m_status, m_reason)) {
      m_status = 0;
      m_reason = line;
    }
    m_refused = m_status < 200 || m_status > 299;
    // A reply that is not HTTP has no header to wait for.
    return m_status == 0 ? Step::Refused : Step::Waiting;
  }
  if (!line.empty()) {
    HeaderLine h = splitHeaderLine(line);
    if (loginRefused() && m_realm.empty() &&
        (headerIs(h.name, "Proxy-Authenticate:") || headerIs(h.name, "WWW-Authenticate:")))
      m_realm = challengeRealm(h.value);
    return Step::Waiting;
  }
  if (m_refused) return Step::Refused;
  m_open = true;
  return Step::Open;
}
