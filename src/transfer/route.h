// The way a connection goes: straight to the server, or through the proxy of its service.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

struct Download;

struct Route {
  bool viaProxy = false;
  std::string host;  // where the connection goes: the server or the proxy
  std::uint16_t port = 0;
  bool ftpOverHttp = false;  // an ftp URL asked of an HTTP proxy (GET ftp://...)
  std::string proxyUser = {}, proxyPassword = {};  // an HTTP proxy's login (Proxy-Authorization); "" none
};

// Chosen once per connection from the proxy setting of the download's service ("" direct,
// else "host:port" or a URL, with a login for an HTTP proxy); nullopt when the setting cannot
// be read as a server. An ftp download goes to an HTTP proxy when proxySpeaksHttp, else to an
// FTP proxy, whose conversation has no place for a login of its own.
std::optional<Route> chooseRoute(const Download& d, const std::string& proxySetting, bool proxySpeaksHttp = false);
