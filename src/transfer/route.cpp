#include "transfer/route.h"

#include "settings/proxy_setting.h"
#include "transfer/download.h"
#include "transfer/url.h"

std::optional<Route> chooseRoute(const Download& d, const std::string& proxySetting, bool proxySpeaksHttp) {
  if (proxySetting.empty()) return Route{false, d.m_server, d.m_port};
  bool ftpProxy = d.m_service == svc::kFtp && !proxySpeaksHttp;
  auto proxy = parseProxySetting(proxySetting, ftpProxy ? 21 : 80);
  if (!proxy || (ftpProxy && !proxy->user.empty())) return std::nullopt;
  return Route{true, proxy->host, proxy->port, d.m_service == svc::kFtp && proxySpeaksHttp, proxy->user,
               proxy->password};
}
