#include "queue/queue_store.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "settings/options.h"
#include "platform/app.h"
#include "platform/services.h"
#include "session/download_dlg.h"

namespace {
constexpr const char* kSectionRunning = "Running";
constexpr const char* kEntryValues[] = {"Get", "Local", "Start", "WindowX", "WindowY",
                                        "Minimized", "LastMod", "StupidServer", "FTPMarker"};

// The start time of a process, so that a reused process id is not taken for the holder.
std::string processStamp(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(f, stat);
  auto close = stat.rfind(')');
  if (close == std::string::npos) return std::string();
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) return field;
  return std::string();
}

std::string myLease() { return std::to_string(::getpid()) + ":" + processStamp(::getpid()); }

bool leaseAlive(const std::string& lease) {
  auto colon = lease.find(':');
  if (lease.empty() || colon == std::string::npos) return false;
  long pid = std::atol(lease.substr(0, colon).c_str());
  return pid > 0 && processStamp(pid) == lease.substr(colon + 1) && !processStamp(pid).empty();
}
}  // namespace

std::string slotText(int slot) { return Format("%02i", slot); }

bool leaseHeldByOther(const std::string& slot) {
  std::string lease = AfxGetApp()->GetProfileString(kSectionRunning, slot, "");
  return leaseAlive(lease) && lease != myLease();
}

bool CDownloadDlg::takeLease(const std::string& slot) {
  bool taken = false;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    if (leaseHeldByOther(slot)) return;
    app->WriteProfileString(kSectionRunning, slot, myLease());
    taken = true;
  });
  m_leaseHeld = m_leaseHeld || taken;
  return taken;
}

void CDownloadDlg::releaseLease() {
  if (!m_leaseHeld || m_slot.empty()) return;
  CWinApp* app = AfxGetApp();
  app->ProfileTransaction([&] {
    if (app->GetProfileString(kSectionRunning, m_slot, "") == myLease())
      app->WriteProfileString(kSectionRunning, m_slot, nullptr);
  });
  m_leaseHeld = false;
}

bool CDownloadDlg::allocateQueueSlot() {
  // Reserved in one transaction, so two processes never take the same slot.
  CWinApp* app = AfxGetApp();
  bool found = false;
  app->ProfileTransaction([&] {
    for (int slot = 0; slot < 100; ++slot) {
      std::string s = slotText(slot);
      if (!app->GetProfileString(kSectionFileQueue, "Get" + s, "").empty()) continue;
      if (leaseAlive(app->GetProfileString(kSectionRunning, s, ""))) continue;
      app->WriteProfileString(kSectionRunning, s, myLease());
      m_slot = s;
      m_leaseHeld = true;
      found = true;
      return;
    }
  });
  return found;
}

bool CDownloadDlg::readQueueEntry(bool showMessages) {
  CWinApp* app = AfxGetApp();
  m_slot = m_url.substr(1);
  m_url = app->GetProfileString(kSectionFileQueue, queueName("Get"), "");
  m_localPath = app->GetProfileString(kSectionFileQueue, queueName("Local"), "");
  m_lastModified = app->GetProfileString(kSectionFileQueue, queueName("LastMod"), "");
  m_startOffset = app->GetProfileInt(kSectionFileQueue, queueName("Start"), 0);
  std::int64_t x = app->GetProfileInt(kSectionFileQueue, queueName("WindowX"), -1);
  std::int64_t y = app->GetProfileInt(kSectionFileQueue, queueName("WindowY"), -1);
  m_stupidServer = static_cast<int>(app->GetProfileInt(kSectionFileQueue, queueName("StupidServer"), 0));
  if (m_stupidServer == 1) {
    m_startOffset = 0;
    setNoResumeNote(false);
  }
  if (m_url.empty()) {
    if (showMessages) AfxMessageBox(115);
    return false;
  }
  if (!takeLease(m_slot)) {
    if (showMessages)
      AfxMessageBox("Request #" + m_slot + " is already being downloaded by another Tarnwick window.\nAborting.");
    m_slot.clear();  // the entry is the other process's: this one leaves nothing of its own
    return false;
  }
  if (x != -1 || y != -1) MoveWindow(static_cast<int>(x), static_cast<int>(y));
  if (app->GetProfileInt(kSectionFileQueue, queueName("Minimized"), 0) != 0) Minimize(true);
  m_startOffset = StepBack(m_startOffset, RollbackBytes());
  return true;
}

void CDownloadDlg::deleteQueueEntry() {
  if (m_slot.empty()) return;
  CWinApp* app = AfxGetApp();
  for (const char* v : kEntryValues) app->WriteProfileString(kSectionFileQueue, queueName(v), nullptr);
}

bool resumeQueuedDownloads() {
  CWinApp* app = AfxGetApp();
  bool started = false;
  for (int slot = 0; slot < 100; ++slot) {
    std::string s = slotText(slot);
    if (app->GetProfileString(kSectionFileQueue, "Get" + s, "").empty()) continue;
    // An entry running in another process is not started twice; one at a time means it is the one.
    if (leaseHeldByOther(s)) {
      if (ConfigInt(kResumeSerial) != 0) return true;
      continue;
    }
    WinExec("TARNWICK.EXE #" + s);
    started = true;
    if (ConfigInt(kResumeSerial) != 0) return true;
  }
  return started;
}
