#include "transfer/route.h"

#include "transfer/download.h"
#include "transfer/url.h"

std::optional<Route> chooseRoute(const Download& d, const std::string& proxySetting) {
  bool ftp = d.m_service == svc::kFtp;
  if (proxySetting.empty()) return Route{false, d.m_server, d.m_port};
  int kind;
  std::string server, object;
  std::uint16_t port = 0;
  if (!parseUrl(proxySetting, kind, server, object, port) &&
      !parseUrl((ftp ? "ftp://" : "http://") + proxySetting, kind, server, object, port))
    return std::nullopt;
  if (port == 0) port = ftp ? 21 : 80;
  return Route{true, server, port};
}
