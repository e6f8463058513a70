// Proxies from the environment, as curl and wget read them (http_proxy, https_proxy,
// ftp_proxy, their upper-case forms, no_proxy), for a download whose configuration names
// no proxy of its own.
#pragma once
#include <functional>
#include <string>

struct ProxyChoice {
  std::string setting;  // in the proxy grammar (settings/proxy_setting.h); "" = direct
  std::string source;   // where it came from: "the configuration" or the variable's name
  bool speaksHttp = true;  // false: the FTP proxy form ("USER user@host") for an ftp URL
  bool configured = false;  // the configuration's own setting, not the environment's
};

using EnvLookup = std::function<const char*(const char* name)>;

// The proxy for a URL of scheme ("http", "https", "ftp") to host: the configured setting
// when there is one, else the scheme's variable unless no_proxy names the host. An ftp_proxy
// that says ftp:// is the FTP proxy form; any other is an HTTP proxy.
ProxyChoice chooseProxy(const std::string& scheme, const std::string& host, const std::string& configured,
                        const EnvLookup& env);

// no_proxy: entries split by commas or blanks, case-insensitive: "*" every host; a name or
// ".suffix" that host or any name under it; an IP address that address; "addr/bits" a CIDR
// range. A host in brackets ("[::1]") is its address.
bool noProxyMatches(const std::string& noProxy, const std::string& host);
