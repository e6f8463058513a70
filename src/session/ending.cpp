#include "session/ending.h"

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"

std::string oneLine(const std::string& message) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at <= message.size()) {
    std::size_t end = message.find('\n', at);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(at, end - at);
    auto b = line.find_first_not_of(" \t\r");
    if (b != std::string::npos) lines.push_back(line.substr(b, line.find_last_not_of(" \t\r") - b + 1));
    at = end + 1;
  }
  if (lines.empty()) return std::string();
  std::string out = lines[0];
  if (out.back() == ':' && lines.size() > 1) out += " " + lines[1];
  for (std::size_t i = 1; i + 1 < lines.size(); ++i)
    if (lines[i] == "Socket Error:") out += " (" + lines[i + 1] + ")";
  return out;
}

std::optional<Failure> failureOf(const ConnectionResult& r) {
  switch (r.what) {
    case Outcome::Finished:
    case Outcome::Redirected:
    case Outcome::NoRange:
    case Outcome::Restart:
    case Outcome::FileChanged:
    case Outcome::PieceDone:
    case Outcome::PieceRefused:
    case Outcome::Mismatch:
    case Outcome::Reconnect:
    case Outcome::NextSite: return std::nullopt;
    case Outcome::Broken:
    case Outcome::ConnectFailed:
    case Outcome::DataConnectFailed:
    case Outcome::CommandFailed: return Failure::Network;
    // Tries used up: the last failure's cause, a server's error reply or the network.
    case Outcome::GaveUp: return r.code >= 400 && r.code < 600 ? Failure::ServerError : Failure::Network;
    case Outcome::WriteFailed: return Failure::LocalFile;
    // A handshake the server broke off is the network's.
    case Outcome::TlsFailed: return r.code == kCertificateRefused ? Failure::Tls : Failure::Network;
    case Outcome::FtpLoginRefused:
    case Outcome::ProxyLoginRefused:
    case Outcome::NeedCredentials:
    case Outcome::AuthUnsupported: return Failure::Login;
    case Outcome::FtpRefused: return r.code == 530 ? Failure::Login : Failure::ServerError;
    case Outcome::TunnelRefused:
      // The proxy closed the connection, or answered.
      return r.code == 0 ? Failure::Network : r.code == 407 ? Failure::Login : Failure::ServerError;
    case Outcome::Refused: return r.code == 401 || r.code == 407 ? Failure::Login : Failure::ServerError;
    case Outcome::ServerBusy:
    case Outcome::BadReply:
    case Outcome::BadPassiveReply:
    case Outcome::TooManyRedirects: return Failure::ServerError;
    case Outcome::SocketFailed: return Failure::Other;
  }
  return Failure::Other;
}

namespace {
bool entryKept(const CDownloadDlg& dlg) { return !dlg.m_slot.empty() && QueueEntry::exists(dlg.m_slot); }
}  // namespace

int sessionStatus(const CDownloadDlg& dlg) {
  if (dlg.m_finished) return 0;
  // The cause wins, kept entry or not: a script must hear of the full disk or the refused
  // connection rather than only that it may try again. A download the user paused or
  // interrupted ended for no failure.
  if (dlg.m_failure != Failure::LocalFile && dlg.m_stoppedByUser && entryKept(dlg)) return 2;
  return static_cast<int>(dlg.m_failure);
}

namespace {
// Why the session ended: the job's reason (the message it ended with, the user's Cancel,
// the tries used up), else what the window shows.
std::string reason(const CDownloadDlg& dlg, bool signalled) {
  if (signalled) return "Stopped by a signal.";
  if (!dlg.m_job.endReason().empty()) return dlg.m_job.endReason();
  return dlg.m_paused ? "The connection broke." : "Stopped.";
}
}  // namespace

std::vector<std::string> endingLines(const CDownloadDlg& dlg, int status, bool signalled) {
  if (status == 0 && !signalled) {
    if (dlg.m_d.m_localPath.empty()) return {};
    if (dlg.m_job.streaming()) return {"Done: written to standard output"};
    return {"Done: " + dlg.m_d.m_localPath};
  }
  // A reason the user was shown as a message is not said twice.
  std::vector<std::string> lines;
  if (signalled || !dlg.m_job.endReasonSaid()) lines.push_back(reason(dlg, signalled));
  if (entryKept(dlg)) lines.push_back("Kept in the queue as #" + dlg.m_slot + ": " + InvokedName() + " '#" + dlg.m_slot + "'");
  return lines;
}
