#include "transfer/http_request.h"

#include <algorithm>

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "transfer/url.h"

void base64Encode(std::string& text) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t n = text.size();
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (std::size_t i = 0; i < n; i += 3) {
    unsigned v = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < n) v |= static_cast<unsigned>(static_cast<unsigned char>(text[i + 1])) << 8;
    if (i + 2 < n) v |= static_cast<unsigned char>(text[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    if (i + 1 < n) out += kAlphabet[(v >> 6) & 63];
    if (i + 2 < n) out += kAlphabet[v & 63];
    if (!(i + 1 < n)) out += '=';
    if (!(i + 2 < n)) out += '=';
  }
  text = std::move(out);
}

std::string basicCredentials(const std::string& user, const std::string& password) {
  std::string cred = user + ":" + password;
  base64Encode(cred);
  return "Basic " + cred;
}

std::string maskedRequest(const std::string& request, const std::vector<std::string>& userHeaders) {
  std::string out;
  for (std::size_t at = 0; at < request.size();) {
    std::size_t end = std::min(request.find("\r\n", at), request.size());
    std::string line = request.substr(at, end - at);
    if (at == 0) {
      // "GET <target> HTTP/1.1", "CONNECT <authority> HTTP/1.1"
      auto first = line.find(' '), last = line.rfind(' ');
      if (first != std::string::npos && last > first)
        line = line.substr(0, first + 1) + displayUrl(line.substr(first + 1, last - first - 1)) + line.substr(last);
    } else {
      // Logins, cookies and the user's own headers are credentials: their values go unshown.
      std::string name = toUpper(line.substr(0, line.find(':') + 1));
      bool login = name == "AUTHORIZATION:" || name == "PROXY-AUTHORIZATION:";
      bool secret = login || name == "COOKIE:" ||
                    std::any_of(userHeaders.begin(), userHeaders.end(),
                                [&](const std::string& h) { return toUpper(h.substr(0, h.find(':') + 1)) == name; });
      if (secret && name.size() > 1) {
        // A login's scheme ("Basic") stays: it tells what was sent.
        auto scheme = line.find(' ', name.size() + 1);
        line = (login && scheme != std::string::npos ? line.substr(0, scheme + 1) : line.substr(0, name.size()) + " ") +
               "***";
      }
    }
    out += line + request.substr(end, 2);
    at = end + 2;
  }
  return out;
}

std::string buildHttpRequest(const HttpRequestParams& p) {
  std::string req;
  if (p.http10) {
    req = Format("GET %s HTTP/1.0\r\n", p.target.c_str());
  } else if (p.endOffset >= 0) {
    req = Format("GET %s HTTP/1.1\r\nRange: bytes=%lld-%lld\r\n", p.target.c_str(), static_cast<long long>(p.startOffset),
                 static_cast<long long>(p.endOffset - 1));
    if (!p.ifRange.empty()) req += "If-Range: " + p.ifRange + "\r\n";
  } else {
    req =
        Format("GET %s HTTP/1.1\r\nRange: bytes=%lld- \r\n", p.target.c_str(), static_cast<long long>(p.startOffset));
  }
  // Every request names its server: HTTP/1.1 servers refuse one without Host.
  req += "Host: " + p.hostHeader + "\r\n";
  if (!p.http10 && !p.keepAlive) req += "Connection: close\r\n";
  // A header the user gave replaces the program's own of that name.
  auto given = [&](const char* name) {
    std::string prefix = toUpper(name) + ":";
    for (const auto& h : p.headers)
      if (toUpper(h.substr(0, prefix.size())) == prefix) return true;
    return false;
  };
  // A well-formed request line and the agent header's standard name: strict servers
  // refuse anything else.
  if (!given("User-Agent"))
    req += p.userAgent.empty() ? Format("User-Agent: %s \r\n", LoadString(res::IDS_USER_AGENT).c_str())
                               : "User-Agent: " + p.userAgent + "\r\n";
  if (!given("Accept")) req += "Accept: *.*, */* \r\n";
  if (!p.lastModified.empty() && !p.http10 && p.endOffset < 0) req += "Range-If: " + p.lastModified + "\r\n";
  // A resume is conditional on the version on disk: a changed file comes whole.
  if (!p.ifRange.empty() && !p.http10 && p.endOffset < 0 && p.startOffset > 0) req += "If-Range: " + p.ifRange + "\r\n";
  if ((!p.user.empty() || !p.password.empty()) && !given("Authorization"))
    req += "Authorization: " + basicCredentials(p.user, p.password) + "\r\n";
  if (!p.proxyUser.empty() && !given("Proxy-Authorization"))
    req += "Proxy-Authorization: " + basicCredentials(p.proxyUser, p.proxyPassword) + "\r\n";
  if (!p.referer.empty() && !given("Referer")) req += "Referer: " + p.referer + "\r\n";
  if (!p.cookie.empty() && !given("Cookie")) req += "Cookie: " + p.cookie + "\r\n";
  for (const auto& h : p.headers) req += h + "\r\n";
  req += "\r\n";
  return req;
}
