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
    return {"Done: " + dlg.m_d.m_localPath};
  }
  // A reason the user was shown as a message is not said twice.
  std::vector<std::string> lines;
  if (signalled || !dlg.m_job.endReasonSaid()) lines.push_back(reason(dlg, signalled));
  if (status == 2) lines.push_back("Kept in the queue as #" + dlg.m_slot + ": " + InvokedName() + " '#" + dlg.m_slot + "'");
  return lines;
}
