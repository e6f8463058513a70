// The HTTP GET request and the Base64 encoder its Authorization line uses.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Replaces text by its Base64 encoding (no line breaks).
void base64Encode(std::string& text);
// The value of a Basic Authorization or Proxy-Authorization line: "Basic " and the login.
std::string basicCredentials(const std::string& user, const std::string& password);
// The request as the header log shows it: the values of both authorization lines, the
// Cookie line and the user's own headers (userHeaders, "Name: value") as "***", and a
// password in the request line's URL (an ftp URL asked of a proxy) masked.
std::string maskedRequest(const std::string& request, const std::vector<std::string>& userHeaders = {});

struct HttpRequestParams {
  std::string target;      // the whole URL through a proxy, else the object
  std::string hostHeader;  // "host" or "host:port"
  bool http10 = false;     // the server does not resume: HTTP/1.0 from byte 0
  // The connection may stay for the next request (kept connections): no "Connection: close".
  bool keepAlive = false;
  std::int64_t startOffset = 0;
  std::string lastModified;
  // A piece of a download: the closed range [startOffset, endOffset) with If-Range ifRange.
  std::int64_t endOffset = -1;
  std::string ifRange;
  std::string user, password;
  std::string proxyUser, proxyPassword;  // the HTTP proxy's login, sent to it alone
  // What the user adds: the agent ("" the program's own), the referring page, the Cookie
  // value, and headers ("Name: value") that replace the program's own of that name.
  std::string userAgent, referer, cookie;
  std::vector<std::string> headers;
};
std::string buildHttpRequest(const HttpRequestParams& p);
