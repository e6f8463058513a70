#include "transfer/request_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "transfer/url.h"

namespace {
std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool sameName(const std::string& a, const char* b) { return toUpper(a) == toUpper(b); }

// A header's value may hold tabs; nothing else may hold a control character.
bool hasControl(const std::string& s, bool tabAllowed) {
  if (!tabAllowed) return hasControlChars(s);
  std::string tabless = s;
  std::erase(tabless, '\t');
  return hasControlChars(tabless);
}

// A token's characters (a header's name).
bool isTokenChar(char c) {
  auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string headerName(const std::string& header) { return header.substr(0, header.find(':')); }

bool domainMatch(const Cookie& c, const std::string& host) {
  if (host == c.domain) return true;
  return c.includeSubdomains && host.size() > c.domain.size() &&
         host.compare(host.size() - c.domain.size(), c.domain.size(), c.domain) == 0 &&
         host[host.size() - c.domain.size() - 1] == '.';
}

bool pathMatch(const std::string& cookiePath, const std::string& path) {
  if (path.rfind(cookiePath, 0) != 0) return false;
  return path.size() == cookiePath.size() || cookiePath.back() == '/' || path[cookiePath.size()] == '/';
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  for (std::size_t at = 0;;) {
    std::size_t end = text.find(sep, at);
    out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return out;
    at = end + 1;
  }
}

// One cookies.txt line (fields split by tabs); nullopt when it is no usable cookie.
std::optional<Cookie> cookieOf(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // curl marks HttpOnly cookies with this prefix; any other "#" line is a comment.
  const std::string httpOnly = "#HttpOnly_";
  if (line.rfind(httpOnly, 0) == 0)
    line.erase(0, httpOnly.size());
  else if (line.empty() || line[0] == '#')
    return std::nullopt;
  auto f = split(line, '\t');
  if (f.size() == 6) f.emplace_back();  // a cookie with an empty value
  if (f.size() != 7) return std::nullopt;
  Cookie c;
  c.domain = lower(f[0]);
  bool dotted = !c.domain.empty() && c.domain[0] == '.';
  if (dotted) c.domain.erase(0, 1);
  c.includeSubdomains = dotted || f[1] == "TRUE";
  c.path = f[2].empty() ? "/" : f[2];
  c.secure = f[3] == "TRUE";
  char* end = nullptr;
  c.expires = std::strtoll(f[4].c_str(), &end, 10);
  c.name = f[5];
  c.value = f[6];
  if (f[4].empty() || *end != '\0' || !usableCookie(c)) return std::nullopt;
  return c;
}

// The leading dot that stands for includeSubdomains is written back, so the domain reads
// back exactly (".corg" stays ".corg", never "corg" and its subdomains).
std::string cookieLine(const Cookie& c) {
  return (c.includeSubdomains ? "." : "") + c.domain + "\t" + (c.includeSubdomains ? "TRUE" : "FALSE") + "\t" + c.path +
         "\t" + (c.secure ? "TRUE" : "FALSE") + "\t" + std::to_string(c.expires) + "\t" + c.name + "\t" + c.value;
}
}  // namespace

std::optional<std::string> checkHeader(const std::string& given, std::string& why) {
  // The header's value is a credential: no message repeats it.
  if (given.find_first_of("\r\n") != std::string::npos || hasControl(given, true)) {
    why = "a --header cannot hold a line break or a control character";
    return std::nullopt;
  }
  std::size_t colon = given.find(':');
  std::string name = colon == std::string::npos ? given : given.substr(0, colon);
  std::string value = colon == std::string::npos ? std::string() : trim(given.substr(colon + 1));
  if (colon == std::string::npos || name.empty() || !std::all_of(name.begin(), name.end(), isTokenChar) ||
      value.empty()) {
    why = "--header takes 'Name: value' (a name of letters, digits and -, then a value)";
    return std::nullopt;
  }
  // These frame the request and its resume: the program writes them itself.
  for (const char* own :
       {"Host", "Range", "If-Range", "Range-If", "Connection", "Content-Length", "Transfer-Encoding"}) {
    if (sameName(name, own)) {
      why = "--header cannot set " + std::string(own) + ": the program writes it itself";
      return std::nullopt;
    }
  }
  return name + ": " + value;
}

bool plainValue(const std::string& value) { return !hasControl(value, false); }

bool usableCookie(const Cookie& c) {
  // A name or value that would break the Cookie header (or add a line to the request) is no cookie.
  auto unfit = [](const std::string& s, const char* also) {
    return hasControl(s, false) || s.find_first_of(also) != std::string::npos;
  };
  // A host-only domain with a leading dot would read back as a domain cookie: no host has it anyway.
  return !c.domain.empty() && !hasControl(c.domain, false) && (c.includeSubdomains || c.domain[0] != '.') &&
         !c.path.empty() && c.path[0] == '/' && !hasControl(c.path, false) && c.expires >= 0 && !c.name.empty() &&
         !unfit(c.name, "=; \t") && !unfit(c.value, ";");
}

RequestOptions RequestOptions::forHost(const std::string& host) const {
  RequestOptions o = *this;
  std::string h = lower(host);
  std::erase_if(o.cookies, [&](const Cookie& c) { return !domainMatch(c, h); });
  return o;
}

void RequestOptions::dropCredentials(bool otherHost, bool toPlainHttp) {
  if (otherHost) cookies.clear();
  std::erase_if(headers, [&](const std::string& h) {
    return sameName(headerName(h), "Authorization") ||
           ((otherHost || toPlainHttp) && sameName(headerName(h), "Cookie"));
  });
}

std::vector<Cookie> parseCookiesTxt(const std::string& text) {
  std::vector<Cookie> out;
  for (const auto& line : split(text, '\n'))
    if (auto c = cookieOf(line)) out.push_back(*c);
  return out;
}

std::string cookieHeader(const std::vector<Cookie>& cookies, const std::string& host, const std::string& path,
                         bool https, std::int64_t now) {
  std::string h = lower(host), p = path.substr(0, path.find('?'));
  if (p.empty() || p[0] != '/') p = "/" + p;
  std::vector<const Cookie*> sent;
  for (const auto& c : cookies)
    if (domainMatch(c, h) && pathMatch(c.path, p) && (https || !c.secure) && (c.expires == 0 || c.expires > now))
      sent.push_back(&c);
  std::stable_sort(sent.begin(), sent.end(),
                   [](const Cookie* a, const Cookie* b) { return a->path.size() > b->path.size(); });
  std::string out;
  for (const Cookie* c : sent) out += (out.empty() ? "" : "; ") + c->name + "=" + c->value;
  return out;
}

// One line a value: a letter for its kind, a blank, the value (none holds a line break).
std::string encodeRequestOptions(const RequestOptions& o) {
  std::string out;
  for (const auto& h : o.headers) out += "H " + h + "\n";
  if (!o.userAgent.empty()) out += "U " + o.userAgent + "\n";
  if (!o.referer.empty()) out += "R " + o.referer + "\n";
  for (const auto& c : o.cookies) out += "C " + cookieLine(c) + "\n";
  if (o.leftHttps) out += "L 1\n";
  return out;
}

RequestOptions decodeRequestOptions(const std::string& text) {
  RequestOptions o;
  for (const auto& line : split(text, '\n')) {
    if (line.size() < 2 || line[1] != ' ') continue;
    std::string value = line.substr(2), why;
    // Checked again: the store is a file another program may have written.
    switch (line[0]) {
      case 'H':
        if (auto h = checkHeader(value, why)) o.headers.push_back(*h);
        break;
      case 'U':
        if (plainValue(value)) o.userAgent = value;
        break;
      case 'R':
        if (plainValue(value)) o.referer = value;
        break;
      case 'C':
        if (auto c = cookieOf(value)) o.cookies.push_back(*c);
        break;
      case 'L': o.leftHttps = value == "1"; break;
      default: break;
    }
  }
  return o;
}

std::optional<NetrcLogin> netrcLogin(const std::string& text, const std::string& host) {
  std::string h = lower(host);
  // A login goes into FTP commands as it stands: a control character would add one.
  auto usable = [](const std::optional<NetrcLogin>& l) -> std::optional<NetrcLogin> {
    if (!l || l->login.empty() || hasControl(l->login, false) || hasControl(l->password, false)) return std::nullopt;
    return l;
  };
  std::optional<NetrcLogin> found, fallback;
  NetrcLogin* into = nullptr;  // the entry being read, null one for another machine
  bool inMacro = false;        // a "macdef" body: its lines up to an empty one are no words
  std::string pending;         // "machine", "login" or "password" waiting for its word
  for (std::string line : split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (inMacro) {
      inMacro = !trim(line).empty();
      continue;
    }
    std::vector<std::string> words;
    for (const auto& w : split(line, ' '))
      for (const auto& t : split(w, '\t'))
        if (!t.empty()) words.push_back(t);
    for (const auto& w : words) {
      if (pending == "machine") {
        // The first entry for the host is the one; one after it ends it.
        if (found) return usable(found);
        into = lower(w) == h ? &found.emplace() : nullptr;
      } else if (!pending.empty()) {
        if (into) (pending == "login" ? into->login : into->password) = w;
      } else if (w == "default") {
        if (found) return usable(found);
        into = &fallback.emplace();
      } else if (w == "macdef") {
        inMacro = true;
        break;
      }
      pending = !pending.empty() ? std::string() : (w == "machine" || w == "login" || w == "password") ? w : "";
    }
  }
  return usable(found ? found : fallback);
}
