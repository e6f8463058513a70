// What the user adds to every HTTP request of a download: headers, the agent, the referring
// page, cookies (the Netscape cookies.txt of wget, curl and aria2), and logins from .netrc.
// Headers and cookies are credentials: they are kept only in the user's store, and shown
// nowhere (the header log masks them).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One line of a cookies.txt, or one cookie the browser handed over.
struct Cookie {
  std::string domain;  // lower case, without the leading dot that means includeSubdomains
  bool includeSubdomains = false;
  std::string path = "/";
  bool secure = false;       // https only
  std::int64_t expires = 0;  // seconds since 1970; 0 a session cookie
  std::string name, value;

  bool operator==(const Cookie&) const = default;
};

struct RequestOptions {
  std::vector<std::string> headers;  // "Name: value", checked by checkHeader
  std::string userAgent;             // "" the program's own
  std::string referer;
  std::vector<Cookie> cookies;
  // A redirect led from https to this plain address: no .netrc login goes to it, even when
  // asked (kept with the entry, so a resume holds to it).
  bool leftHttps = false;

  bool empty() const {
    return headers.empty() && userAgent.empty() && referer.empty() && cookies.empty() && !leftHttps;
  }
  bool operator==(const RequestOptions&) const = default;

  // The same with only the cookies some request to host may send: what is worth keeping.
  RequestOptions forHost(const std::string& host) const;
  // A redirect to another server (host, port or scheme) leaves an Authorization header
  // given by hand behind; one to another host its cookies and Cookie header too, as curl
  // does, and one from https to plain http the Cookie header (the jar's Secure cookies stay
  // home by themselves). An https upgrade on the same host keeps the cookies: a login's
  // session lives on.
  void dropCredentials(bool otherHost, bool toPlainHttp);
};

// A header as given to --header, as it is sent ("Name: value"); nullopt with why when it is
// malformed, holds a control character, or names a header the program itself writes.
std::optional<std::string> checkHeader(const std::string& given, std::string& why);
// A --user-agent or --referer value: false when it holds a control character.
bool plainValue(const std::string& value);

// The cookies of a cookies.txt ("#HttpOnly_" lines included); lines that are not cookies,
// or whose name or value could not go into a header as they stand, are skipped.
std::vector<Cookie> parseCookiesTxt(const std::string& text);
// False when c could not go into a Cookie header or the store as it stands (the same check
// as a cookies.txt line's).
bool usableCookie(const Cookie& c);
// The Cookie header's value for a request ("" none): the cookies for host and path that
// have not expired at now, secure ones only over https, longer paths first.
std::string cookieHeader(const std::vector<Cookie>& cookies, const std::string& host, const std::string& path,
                         bool https, std::int64_t now);

// The options as one stored text, and back; an unreadable text gives no options.
std::string encodeRequestOptions(const RequestOptions& o);
RequestOptions decodeRequestOptions(const std::string& text);

struct NetrcLogin {
  std::string login, password;
};
// The login .netrc text gives for host: its "machine" entry, else "default".
std::optional<NetrcLogin> netrcLogin(const std::string& text, const std::string& host);
