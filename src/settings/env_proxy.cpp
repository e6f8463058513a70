#include "settings/env_proxy.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <cstdlib>

namespace {
std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string unbracketed(std::string s) {
  if (s.size() >= 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
  return s;
}

// An address of either family as 16 bytes (IPv4 in the mapped form) and its family's bits.
bool toAddress(const std::string& text, unsigned char (&out)[16], int& bits) {
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    std::memset(out, 0, 10);
    out[10] = out[11] = 0xFF;
    std::memcpy(out + 12, &v4, 4);
    bits = 32;
    return true;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    std::memcpy(out, &v6, 16);
    bits = 128;
    return true;
  }
  return false;
}

bool inRange(const unsigned char (&host)[16], int hostBits, const std::string& entry) {
  auto slash = entry.find('/');
  unsigned char net[16];
  int netBits = 0;
  if (!toAddress(unbracketed(entry.substr(0, slash)), net, netBits) || netBits != hostBits) return false;
  int prefix = netBits;
  if (slash != std::string::npos) {
    std::string digits = entry.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    prefix = std::atoi(digits.c_str());
    if (prefix > netBits) return false;
  }
  prefix += 128 - netBits;  // v4 lives in the last 32 bits
  for (int i = 0; i < 16 && prefix > 0; ++i, prefix -= 8) {
    unsigned char mask = prefix >= 8 ? 0xFF : static_cast<unsigned char>(0xFF << (8 - prefix));
    if ((host[i] & mask) != (net[i] & mask)) return false;
  }
  return true;
}
}  // namespace

bool noProxyMatches(const std::string& noProxy, const std::string& hostText) {
  std::string host = lower(unbracketed(hostText));
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return false;
  unsigned char addr[16];
  int addrBits = 0;
  bool isAddress = toAddress(host, addr, addrBits);
  std::size_t i = 0;
  while (i < noProxy.size()) {
    std::size_t end = noProxy.find_first_of(", \t", i);
    if (end == std::string::npos) end = noProxy.size();
    std::string entry = lower(noProxy.substr(i, end - i));
    i = end + 1;
    if (entry.empty()) continue;
    if (entry == "*") return true;
    if (isAddress) {
      if (inRange(addr, addrBits, entry)) return true;
      continue;
    }
    if (entry.front() == '.') entry.erase(0, 1);
    if (entry.rfind("*.", 0) == 0) entry.erase(0, 2);
    while (!entry.empty() && entry.back() == '.') entry.pop_back();
    if (entry.empty()) continue;
    if (host == entry) return true;
    if (host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
        host[host.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

ProxyChoice chooseProxy(const std::string& scheme, const std::string& host, const std::string& configured,
                        const EnvLookup& env) {
  ProxyChoice c;
  if (!configured.empty()) {
    c.setting = configured;
    c.source = "the configuration";
    c.speaksHttp = scheme != "ftp";
    c.configured = true;
    return c;
  }
  auto variable = [&](const std::string& name) -> std::string {
    // The lower-case form first, as curl and wget read it.
    for (const std::string& n : {name, [&] {
                                   std::string u = name;
                                   for (auto& ch : u) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                                   return u;
                                 }()}) {
      const char* v = env(n.c_str());
      if (v && *v) {
        c.source = n;
        return v;
      }
    }
    return std::string();
  };
  std::string value = variable(scheme + "_proxy");
  if (value.empty()) return ProxyChoice{};
  std::string source = c.source;
  if (noProxyMatches(variable("no_proxy"), host)) return ProxyChoice{};
  c.source = source;
  c.setting = value;
  c.speaksHttp = !(scheme == "ftp" && ::strncasecmp(value.c_str(), "ftp://", 6) == 0);
  return c;
}
