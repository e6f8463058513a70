// The proxy options (Proxy, ProxyFTP): one grammar for the configuration dialog and the route.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

struct ProxyServer {
  std::string host;  // a name, a dotted address, or an IPv6 address in brackets ("[::1]")
  std::uint16_t port = 0;
};

// "[scheme://]host[:port][/]", the scheme http or ftp in any case; blanks around it are
// ignored and a port of 0 or none means defaultPort. Anything else (a path, a login, other
// characters, a port beyond 65535) is nullopt, and so is an empty text.
std::optional<ProxyServer> parseProxySetting(const std::string& text, std::uint16_t defaultPort);
