#include "engine/retry.h"

#include <algorithm>

#include "platform/services.h"
#include "transfer/session_socket.h"

namespace {
constexpr int kMaxBackoff = 60;
constexpr int kMaxServerWait = 600;

// FTP replies that say "not now": service closing, no data connection, transfer aborted,
// file busy, local error.
bool ftpSaysLater(int code) { return code == 421 || code == 425 || code == 426 || code == 450 || code == 451; }
}  // namespace

bool isTemporary(const ConnectionResult& r) {
  switch (r.what) {
    case Outcome::Broken:
    case Outcome::DataConnectFailed:
    case Outcome::CommandFailed:
    case Outcome::ServerBusy: return true;
    // A name that does not exist is final; a resolver that could not answer is not.
    case Outcome::ConnectFailed: return r.code != WSAEINVAL && r.code != WSAHOST_NOT_FOUND;
    case Outcome::FtpRefused: return ftpSaysLater(r.code);
    default: return false;
  }
}

int retryWaitSeconds(int fruitless, int retryAfter) {
  if (retryAfter >= 0) return std::min(retryAfter, kMaxServerWait);
  int wait = 1;
  for (int i = 1; i < fruitless && wait < kMaxBackoff; ++i) wait *= 2;
  return std::min(wait, kMaxBackoff);
}

std::string failureReason(const ConnectionResult& r) {
  switch (r.what) {
    case Outcome::Broken:
      if (!r.text.empty()) return r.text;
      return "Connection broken";
    case Outcome::ConnectFailed:
    case Outcome::DataConnectFailed:
      return Format("Cannot connect to %s (%s)", r.text.c_str(), socketErrorText(r.code));
    case Outcome::CommandFailed: return Format("Cannot send to the server (%s)", socketErrorText(r.code));
    case Outcome::ServerBusy: return Format("Server error: %d %s", r.code, r.text.c_str());
    case Outcome::FtpRefused: {
      std::string first = r.text.substr(0, r.text.find('\r'));
      return "Server replied: " + first;
    }
    default: return r.text;
  }
}
