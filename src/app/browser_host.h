// The browser extension's native messaging host: the browser starts the program with its
// caller's origin as argument and talks to it on standard input and output, each message a
// 32-bit length in native byte order and that many bytes of UTF-8 JSON.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transfer/request_options.h"

// The host's name in the browsers' manifests (its file is this name and ".json").
inline constexpr const char* kBrowserHostName = "com.quillfern.tarnwick";
// The extension's Chromium id, which its manifest's `key` fixes: the first 128 bits of the
// SHA-256 of the key (DER) as letters a to p.
inline constexpr const char* kChromiumExtensionId = "dgdkghepkglinddfmopkljkdgchglkbo";
inline constexpr const char* kChromiumExtensionKey =
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAu8aavfk0B48ybIS9MU1WYQgEi3tV2Va5EPRfzYZdhERyP8dXw8ZrL9ghgg78cn81oLT4Seo"
    "plHH8enm1k+Na28/nHVjneYVbF3gpyMlYMAsM2Ed2NNfFLng+PZrh6dWjGxjBZD+bTuIstDErMD5CQEGPkj+87MjBwV9ljjh/lYPRtdgd845lFf9B3T8"
    "9GTDXJa4GdsYJnTn9IL9NkoKIhUz/fMmdgNu0tvBSwjK0eRvBraKlfk83D7IR6OKbixDzfW0p3ZanE1Px/c2iCbTRMv1Ytrk3BVCnc5WRBvpGN2ZwtSw"
    "OOXmTJMG6xB5xW+QOIXnvp2P0A4dInVj+ktc0gQIDAQAB";
// Its Firefox id (browser_specific_settings.gecko.id).
inline constexpr const char* kFirefoxExtensionId = "tarnwick@quillfern.org";
// A message above this size is refused unread.
inline constexpr std::size_t kMaxBrowserMessage = 1 << 20;

// Who started the program, as the browser says: Chromium passes "chrome-extension://ID/",
// Firefox the path of our manifest and the extension's id.
struct BrowserCaller {
  std::string origin;
  bool ours = false;  // our extension's, the only caller served
};
// The caller the arguments (without the program's name) name; nullopt when they are no
// browser's.
std::optional<BrowserCaller> browserCaller(const std::vector<std::string>& args);

// One download a message asks for, checked.
struct BrowserDownload {
  std::string url;
  std::string fileName;  // the browser's, cleaned; "" none
  // The file the browser made for it itself (Firefox's empty placeholder), which it removes
  // once it lets go: no reason for another name. "" none.
  std::string browserFile;
  RequestOptions request;
};
// Queues downloads and starts them (one in its own process, several as one batch): their
// queue numbers ("05") in order; fewer, with why, when not all could be started.
using BrowserStarter = std::function<std::vector<std::string>(const std::vector<BrowserDownload>&, std::string& why)>;

// The reply to one message (a JSON object as text).
std::string browserHostReply(const std::string& message, const BrowserCaller& caller, const BrowserStarter& start);
// Serves messages from in, replies to out, until the browser closes in; the exit status.
int RunBrowserHost(const BrowserCaller& caller, int in, int out, const BrowserStarter& start);

// The host's manifest for Chromium (and Chrome) or Firefox, naming the executable at exe.
std::string browserHostManifest(bool firefox, const std::string& exe);
