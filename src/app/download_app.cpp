// Start-up: one job per process, chosen from the whole command line.
#include "app/download_app.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/run.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "queue/queue_store.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"
#include "session/ending.h"
#include "settings/options.h"
#include "ui/config_dlg.h"
#include "ui/drop_wnd.h"
#include "ui/resume_dlg.h"

namespace {
std::string upperTrimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  std::string out = s.substr(b, e - b);
  for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Exit status of a session: 0 complete, 2 entry left for a later resume, 1 otherwise.
int sessionStatus(CDownloadDlg& dlg) {
  if (dlg.m_finished) return 0;
  if (!dlg.m_slot.empty() && QueueEntry::exists(dlg.m_slot)) return 2;
  return 1;
}

bool isSwitch(const std::string& upper) {
  for (const char* s : {"/RESUMEDLG", "-RESUMEDLG", "/RESUME", "-RESUME", "/DROP", "-DROP", "/CONFIG", "-CONFIG"})
    if (upper == s) return true;
  return false;
}

// A job and the copies it waited for, as one status: 0 when all completed, 2 when any left
// its entry in the queue, 1 otherwise.
int jointStatus(int own, const std::vector<int>& copies) {
  int joint = own;
  for (int s : copies) {
    if (s == 2)
      joint = 2;
    else if (s != 0 && joint == 0)
      joint = 1;
  }
  return joint;
}

constexpr const char* kOptions =
    "Options:\n"
    "  -o, --output FILE     = Save the download as FILE (no Save As question).\n"
    "  -q, --quiet           = No progress lines; messages and the final line stay.\n"
    "      --retries N       = Try a broken download again up to N times in a row without\n"
    "                          new data before pausing (default 5; 0 pauses at once).\n"
    "  -n, --connections N   = Fetch with up to N connections at once (1 to 16; default 4).\n"
    "      --limit-rate RATE = Keep the download's total speed under RATE bytes a second\n"
    "                          (500k, 2M; over all its connections).\n"
    "  -h, --help            = Show this text.\n"
    "      --version         = Show the version.\n";
}  // namespace

std::optional<int> CDownloadApp::takeOptions(int& argc, char** argv) {
  std::string name = argv[0] ? argv[0] : "tarnwick";
  name = name.substr(name.rfind('/') + 1);
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", name.c_str(), why.c_str(), name.c_str());
    return 1;
  };
  // An option's value: after its "=", else the next argument (false: there is none).
  auto valueOf = [&](const std::string& a, int& i, std::string& value) {
    if (auto eq = a.find('='); eq != std::string::npos) {
      value = a.substr(eq + 1);
      return true;
    }
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
  };
  std::vector<char*> rest{argv[0]};
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      rest.push_back(argv[i]);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "-h" || a == "--help") {
      std::printf("%s%s", UsageText(), kOptions);
      return 0;
    } else if (a == "--version") {
      std::string version = LoadString(res::IDS_USER_AGENT);  // "Tarnwick/1.2"
      std::printf("%s\n", version.replace(version.find('/'), 1, " ").c_str());
      return 0;
    } else if (a == "-q" || a == "--quiet") {
      m_quiet = true;
    } else if (a == "--retries" || a.rfind("--retries=", 0) == 0) {
      std::string value;
      if (a == "--retries") {
        if (i + 1 >= argc) return fail("option '--retries' requires a number");
        value = argv[++i];
      } else {
        value = a.substr(std::strlen("--retries="));
      }
      char* end = nullptr;
      long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 0 || n > 1000)
        return fail("--retries takes a number from 0 to 1000, not '" + value + "'");
      OverrideConfigInt(kRetries, n);
    } else if (a == "-n" || a == "--connections" || a.rfind("--connections=", 0) == 0) {
      std::string value;
      if (!valueOf(a, i, value)) return fail("option '" + a + "' requires a number");
      char* end = nullptr;
      long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < 1 || n > kMaxConnections)
        return fail(Format("%s takes a number from 1 to %d, not '%s'", a.substr(0, a.find('=')).c_str(), kMaxConnections,
                           value.c_str()));
      OverrideConfigInt(kConnections, n);
    } else if (a == "--limit-rate" || a.rfind("--limit-rate=", 0) == 0) {
      std::string value;
      if (!valueOf(a, i, value)) return fail("option '--limit-rate' requires a rate");
      std::int64_t rate = 0;
      if (!ParseRate(value, rate)) return fail("--limit-rate takes a rate such as 500k or 2M, not '" + value + "'");
      OverrideConfigInt(kMaxSpeed, rate);
    } else if (a == "--output" || a.rfind("--output=", 0) == 0 || a.rfind("-o", 0) == 0) {
      if (a == "-o" || a == "--output") {
        if (i + 1 >= argc) return fail("option '" + a + "' requires a file name");
        m_outputPath = argv[++i];
      } else {
        m_outputPath = a.substr(a[1] == 'o' ? 2 : std::strlen("--output="));
      }
      if (m_outputPath == "-") return fail("cannot write the download to standard output: name a file for " + a.substr(0, 2) + ".");
      if (m_outputPath.empty()) return fail("option '" + a + "' requires a file name");
    } else if (a.rfind("--", 0) == 0) {
      return fail("unrecognized option '" + a + "'");
    } else {
      rest.push_back(argv[i]);  // the switches ("-RESUME") and whatever else a session makes of it
    }
  }
  if (!m_outputPath.empty()) {
    std::string cmd;
    for (std::size_t i = 1; i < rest.size(); ++i) cmd += (i > 1 ? " " : "") + std::string(rest[i]);
    if (cmd.empty() || cmd[0] == '#' || isSwitch(upperTrimmed(cmd)))
      return fail("-o names the file of a new download: give it with a URL.");
    if (m_outputPath[0] != '/') {
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd)) m_outputPath = std::string(cwd) + "/" + m_outputPath;
    }
  }
  argc = static_cast<int>(rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) argv[i] = rest[i];
  argv[argc] = nullptr;
  return std::nullopt;
}

bool CDownloadApp::InitInstance() {
  SetRegistryKey("Quillfern");
  std::string cmd = upperTrimmed(m_lpCmdLine);
  m_exitCode = 0;
  // The jobs that start copies: in a terminal they end when their copies have.
  bool startsCopies = cmd == "/RESUMEDLG" || cmd == "-RESUMEDLG" || cmd == "/RESUME" || cmd == "-RESUME" ||
                      cmd == "/DROP" || cmd == "-DROP";
  if (startsCopies && m_superviseCopies) {
    AdoptCopies();
    m_waitsForCopies = true;
  }
  if (cmd == "/RESUMEDLG" || cmd == "-RESUMEDLG") {
    CResumeDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
  } else if (cmd == "/RESUME" || cmd == "-RESUME") {
    if (!resumeQueuedDownloads()) AfxMessageBox(res::IDS_NOTHING_TO_RESUME);
  } else if (cmd == "/DROP" || cmd == "-DROP") {
    CDropWnd dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
  } else if (cmd == "/CONFIG" || cmd == "-CONFIG") {
    runConfig();
  } else {
    runSession();
  }
  m_pMainWnd = nullptr;
  if (m_waitsForCopies) m_exitCode = jointStatus(m_exitCode, WaitForCopies());
  return false;
}

void CDownloadApp::runConfig() {
  Options o = ReadOptions();
  CConfigDlg dlg;
  dlg.m_errorBeep = o.errorBeep;
  dlg.m_doneBeep = o.doneBeep;
  dlg.m_exitWhenDone = o.exitWhenDone;
  dlg.m_resumeSerial = o.resumeSerial;
  dlg.m_rollback = o.rollback;
  dlg.m_proxy = o.proxy;
  dlg.m_proxyFtp = o.proxyFtp;
  dlg.m_email = o.email;
  dlg.m_connections = o.connections;
  dlg.m_maxSpeedK = o.maxSpeedK;
  m_pMainWnd = &dlg;
  if (dlg.DoModal() == IDOK) {
    o.errorBeep = dlg.m_errorBeep;
    o.doneBeep = dlg.m_doneBeep;
    o.exitWhenDone = dlg.m_exitWhenDone;
    o.resumeSerial = dlg.m_resumeSerial;
    o.rollback = dlg.m_rollback;
    o.proxy = dlg.m_proxy;
    o.proxyFtp = dlg.m_proxyFtp;
    o.email = dlg.m_email;
    o.connections = dlg.m_connections;
    o.maxSpeedK = dlg.m_maxSpeedK;
    WriteOptions(o);
  }
}

void CDownloadApp::runSession() {
  CDownloadDlg dlg;
  dlg.m_outputPath = m_outputPath;
  m_pMainWnd = &dlg;
  dlg.DoModal();
  if (m_lpCmdLine.empty()) {
    m_exitCode = 1;
    return;
  }
  FlushProfile();
  m_exitCode = sessionStatus(dlg);
  for (const auto& line : endingLines(dlg, m_exitCode, false)) ui().statusLine(line);
}

void CDownloadApp::OnTerminate() {
  // Cancel answered Yes: the entry and the partial file stay.
  if (auto* dlg = dynamic_cast<CDownloadDlg*>(m_pMainWnd)) {
    dlg->closeConnections();
    m_exitCode = sessionStatus(*dlg);
    dlg->releaseLease();
    for (const auto& line : endingLines(*dlg, m_exitCode, true)) ui().statusLine(line);
  } else {
    m_exitCode = 1;
  }
}
