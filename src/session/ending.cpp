#include "session/ending.h"

#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"

namespace {
// A message box's text in one line: its first line (with the next when it ends in ":"), and
// the socket error when there is one.
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

// Why the session ended: the message it ended with, unless that was the user's Cancel.
std::string reason(const CDownloadDlg& dlg, bool signalled) {
  if (signalled) return "Stopped by a signal.";
  const auto& recent = RecentMessages();
  if (!recent.empty()) {
    if (recent[0].text != LoadString(res::IDS_RESUME_LATER)) return oneLine(recent[0].text);
    // "Resumed later?" with Cancel is the user's Cancel; without, it follows the reason.
    bool userCancel = (recent[0].type & MB_TYPEMASK) == MB_YESNOCANCEL;
    return userCancel || recent.size() < 2 ? "Cancelled." : oneLine(recent[1].text);
  }
  return dlg.m_paused ? "The connection broke." : "Stopped.";
}
}  // namespace

std::vector<std::string> endingLines(const CDownloadDlg& dlg, int status, bool signalled) {
  if (status == 0 && !signalled) {
    if (dlg.m_localPath.empty()) return {};
    return {"Done: " + dlg.m_localPath};
  }
  std::vector<std::string> lines{reason(dlg, signalled)};
  if (status == 2) lines.push_back("Kept in the queue as #" + dlg.m_slot + ": " + AppName() + " '#" + dlg.m_slot + "'");
  return lines;
}
