// The proxy options (Proxy, ProxyFTP): one grammar for the configuration dialog and the route.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

struct ProxyServer {
  std::string host;  // a name, a dotted address, or an IPv6 address in brackets ("[::1]")
  std::uint16_t port = 0;
  std::string user, password;  // the proxy's own login, decoded; empty user: none
};

// "[scheme://][user[:password]@]host[:port][/]", the scheme http or ftp in any case; blanks
// around it are ignored and a port of 0 or none means defaultPort; "%XX" in the login stands
// for that byte (decodeLoginPart). Anything else (a path, an empty user name, other
// characters, a port beyond 65535) is nullopt, and so is an empty text.
std::optional<ProxyServer> parseProxySetting(const std::string& text, std::uint16_t defaultPort);

// A user name or password as a URL carries it: "%XX" is that byte ("%40" for the "@" of an
// address), except a control character, which stays encoded (it would reach a command line).
std::string decodeLoginPart(const std::string& text);
