// URLs come from the command line, drops, mirror lists and Location headers: the input is a
// base URL and, after the first line end, a Location to resolve against it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "settings/proxy_setting.h"
#include "transfer/url.h"

namespace {
bool allowedInTarget(unsigned char c) {
  static const std::string kOthers = "-._~!$&'()*+,;=:@/?%[]";
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || kOthers.find(c) != std::string::npos;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  auto lf = input.find('\n');
  std::string url = input.substr(0, lf);
  std::string location = lf == std::string::npos ? std::string() : input.substr(lf + 1);

  int service = 0;
  std::string server, object;
  std::uint16_t port = 0;
  if (parseUrl(url, service, server, object, port)) {
    FUZZ_CHECK(service != svc::kUnknown);
    FUZZ_CHECK(!hasControlChars(server) && !hasControlChars(object));
    urlFileName(object);
    cutFragment(object);
  }
  isSecureUrl(url);

  std::string resolved = resolveLocation(url, location);
  if (!hasControlChars(url) && !hasControlChars(location)) FUZZ_CHECK(!hasControlChars(resolved));

  std::string user = "u", password = "p";
  std::string bare = splitCredentials(resolved, user, password);
  FUZZ_CHECK(bare.size() <= resolved.size());
  // Decoding never makes a control character: it would reach a USER or PASS command.
  if (!hasControlChars(resolved)) FUZZ_CHECK(!hasControlChars(user) && !hasControlChars(password));
  displayUrl(resolved);

  // The mask in place, as ps shows the arguments, never grows the text.
  std::string arg = url.c_str();
  const std::size_t length = arg.size();
  hidePassword(arg.data());
  FUZZ_CHECK(std::string(arg.c_str()) == displayUrl(url.c_str()) || std::string(arg.c_str()).size() == length);
  FUZZ_CHECK(arg.size() == length);
  // A proxy setting's login never holds a control character: it reaches a request's header.
  if (auto proxy = parseProxySetting(url, 80))
    FUZZ_CHECK(!proxy->host.empty() && !hasControlChars(proxy->user) && !hasControlChars(proxy->password));

  // Nothing unencoded reaches the request line, and encoding twice changes nothing.
  std::string target = encodeRequestTarget(location);
  for (unsigned char c : target) FUZZ_CHECK(allowedInTarget(c));
  FUZZ_CHECK(encodeRequestTarget(target) == target);

  // A decoded file name never leaves its folder or holds control characters.
  std::string name = decodeFileName(location);
  if (location.find('/') == std::string::npos && !hasControlChars(location)) {
    FUZZ_CHECK(name.find('/') == std::string::npos && !hasControlChars(name));
    if (location != "." && location != "..") FUZZ_CHECK(name != "." && name != "..");
  }
  return 0;
}
