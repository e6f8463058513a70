#include "app/browser_host.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/json.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "transfer/url.h"

namespace {
JsonValue failure(const std::string& why) {
  return JsonValue::object({{"ok", JsonValue::of(false)}, {"error", JsonValue::of(why)}});
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool flag(const JsonValue& object, const char* name) {
  const JsonValue* v = object.member(name);
  return v && v->kind == JsonValue::Kind::Bool && v->boolean;
}

// One cookie as the browser's cookies API gives it (name, value, domain, hostOnly, path,
// secure, session, expirationDate); nullopt when it could not be sent as it stands.
std::optional<Cookie> browserCookie(const JsonValue& c) {
  if (!c.isObject()) return std::nullopt;
  Cookie cookie;
  cookie.domain = lower(c.string("domain"));
  // A domain cookie's leading dot says what includeSubdomains says.
  cookie.includeSubdomains = !flag(c, "hostOnly");
  if (cookie.includeSubdomains && !cookie.domain.empty() && cookie.domain[0] == '.') cookie.domain.erase(0, 1);
  cookie.path = c.string("path").empty() ? "/" : c.string("path");
  cookie.secure = flag(c, "secure");
  const JsonValue* expires = c.member("expirationDate");
  if (!flag(c, "session") && expires && expires->kind == JsonValue::Kind::Number)
    // One already gone stays gone (never a session cookie, 0).
    cookie.expires = expires->number < 1 ? 1 : static_cast<std::int64_t>(std::min(expires->number, 1e15));
  cookie.name = c.string("name");
  cookie.value = c.string("value");
  if (!usableCookie(cookie)) return std::nullopt;
  return cookie;
}

// One item of a "download" or "links" message, checked; nullopt with why when it cannot be
// fetched as asked. Nothing in it reaches a shell or an argument: it goes into the entry.
std::optional<BrowserDownload> downloadOf(const JsonValue& item, std::string& why) {
  if (!item.isObject()) {
    why = "A download must be a JSON object";
    return std::nullopt;
  }
  BrowserDownload d;
  d.url = item.string("url");
  std::string scheme = lower(d.url.substr(0, d.url.find("://")));
  if (d.url.find("://") == std::string::npos || (scheme != "http" && scheme != "https" && scheme != "ftp")) {
    why = "Only http, https and ftp URLs can be downloaded";
    return std::nullopt;
  }
  if (hasControlChars(d.url) || d.url.find(' ') != std::string::npos) {
    why = "The URL holds a blank or a control character";
    return std::nullopt;
  }
  d.url.replace(0, scheme.size(), scheme);
  std::string referrer = item.string("referrer"), agent = item.string("userAgent"), cookies = item.string("cookies");
  if (!plainValue(referrer) || !plainValue(agent)) {
    why = "The referrer or the user agent holds a control character";
    return std::nullopt;
  }
  d.request.referer = referrer;
  d.request.userAgent = agent;
  if (const JsonValue* jar = item.member("cookieJar"); jar && jar->kind == JsonValue::Kind::Array) {
    // The cookies with their scope (an extension of today): a jar, as --load-cookies keeps one.
    for (const JsonValue& c : jar->items)
      if (auto cookie = browserCookie(c)) d.request.cookies.push_back(*cookie);
  } else if (!trim(cookies).empty()) {
    // An older extension's one Cookie line, sent as it came.
    auto header = checkHeader("Cookie: " + cookies, why);
    if (!header) {
      why = "The cookies hold a control character";
      return std::nullopt;
    }
    d.request.headers.push_back(*header);
  }
  d.fileName = serverFileName(item.string("filename"));
  // Only a whole path that names the same file counts; anything else is no file of the browser's.
  std::string own = item.string("browserFile");
  if (!own.empty() && own[0] == '/' && !hasControlChars(own) && serverFileName(own) == d.fileName) d.browserFile = own;
  return d;
}


bool readAll(int fd, char* to, std::size_t n) {
  while (n > 0) {
    ssize_t got = ::read(fd, to, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    to += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool sendMessage(int fd, const std::string& json) {
  auto length = static_cast<std::uint32_t>(json.size());
  std::string framed(sizeof length, '\0');
  std::memcpy(framed.data(), &length, sizeof length);
  return writeAll(fd, framed + json);
}
}  // namespace

std::optional<BrowserCaller> browserCaller(const std::vector<std::string>& args) {
  const std::string chromium = "chrome-extension://";
  if (!args.empty() && args[0].rfind(chromium, 0) == 0)
    return BrowserCaller{args[0], args[0] == chromium + kChromiumExtensionId + "/"};
  const std::string manifest = std::string("/") + kBrowserHostName + ".json";
  if (args.size() == 2 && args[0].size() > manifest.size() &&
      args[0].compare(args[0].size() - manifest.size(), manifest.size(), manifest) == 0)
    return BrowserCaller{args[1], args[1] == kFirefoxExtensionId};
  return std::nullopt;
}

std::string browserHostReply(const std::string& message, const BrowserCaller& caller, const BrowserStarter& start) {
  if (!caller.ours) return WriteJson(failure("Tarnwick takes downloads only from its own browser extension"));
  auto parsed = ParseJson(message);
  if (!parsed || !parsed->isObject()) return WriteJson(failure("The message is no JSON object"));
  const JsonValue& m = *parsed;
  const std::string type = m.string("type");
  if (type == "ping") {
    std::string version = LoadString(res::IDS_USER_AGENT);  // "Tarnwick/1.2"
    return WriteJson(JsonValue::object(
        {{"type", JsonValue::of("pong")}, {"version", JsonValue::of(version.substr(version.find('/') + 1))}}));
  }
  std::string why;
  if (type == "download") {
    auto d = downloadOf(m, why);
    auto slots = d ? start({*d}, why) : std::vector<std::string>();
    if (slots.empty()) return WriteJson(failure(why));
    return WriteJson(JsonValue::object({{"ok", JsonValue::of(true)}, {"id", JsonValue::of("#" + slots[0])}}));
  }
  if (type == "links") {
    const JsonValue* items = m.member("items");
    if (!items || items->kind != JsonValue::Kind::Array || items->items.empty())
      return WriteJson(failure("\"links\" needs a list of downloads in \"items\""));
    // All are checked before any starts: a refused link starts none of them.
    std::vector<BrowserDownload> downloads;
    for (const JsonValue& item : items->items) {
      auto d = downloadOf(item, why);
      if (!d) return WriteJson(failure(why));
      downloads.push_back(*d);
    }
    JsonValue ids;
    ids.kind = JsonValue::Kind::Array;
    auto slots = start(downloads, why);
    for (const auto& slot : slots) ids.items.push_back(JsonValue::of("#" + slot));
    if (slots.size() < downloads.size()) {
      // Those started go on: the reply names them.
      JsonValue reply = failure(why);
      reply.members.emplace_back("ids", ids);
      return WriteJson(reply);
    }
    return WriteJson(JsonValue::object({{"ok", JsonValue::of(true)}, {"ids", ids}}));
  }
  return WriteJson(failure("Unknown message type"));
}

int RunBrowserHost(const BrowserCaller& caller, int in, int out, const BrowserStarter& start) {
  for (;;) {
    std::uint32_t length = 0;
    if (!readAll(in, reinterpret_cast<char*>(&length), sizeof length)) return 0;  // the browser let go
    if (length > kMaxBrowserMessage) {
      // Answered at once (a sender may wait for the answer before sending it all), then
      // skipped unread, so that the next message is found where it starts.
      if (!sendMessage(out, WriteJson(failure("The message is longer than 1 MiB")))) return 1;
      char sink[65536];
      for (std::uint32_t left = length; left > 0;) {
        std::size_t n = std::min<std::size_t>(left, sizeof sink);
        if (!readAll(in, sink, n)) return 0;
        left -= static_cast<std::uint32_t>(n);
      }
      continue;
    }
    std::string message(length, '\0');
    if (!readAll(in, message.data(), length)) return 0;
    if (!sendMessage(out, browserHostReply(message, caller, start))) return 1;
  }
}

std::string browserHostManifest(bool firefox, const std::string& exe) {
  JsonValue allowed;
  allowed.kind = JsonValue::Kind::Array;
  allowed.items.push_back(
      JsonValue::of(firefox ? std::string(kFirefoxExtensionId) : "chrome-extension://" + std::string(kChromiumExtensionId) + "/"));
  return WriteJson(JsonValue::object({{"name", JsonValue::of(kBrowserHostName)},
                                      {"description", JsonValue::of("Tarnwick download manager")},
                                      {"path", JsonValue::of(exe)},
                                      {"type", JsonValue::of("stdio")},
                                      {firefox ? "allowed_extensions" : "allowed_origins", allowed}})) +
         "\n";
}
