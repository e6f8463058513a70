#include "platform/services.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string_view>
#include <utility>

#include "resources/resources.h"
#include "platform/ui.h"

namespace {
std::string g_appName;
std::function<bool(const std::string&)> g_starter;
}  // namespace

void SetAppName(const std::string& name) { g_appName = name; }

namespace {
std::string g_invokedName;
}
void SetInvokedName(const std::string& name) { g_invokedName = name; }
const std::string& InvokedName() { return g_invokedName.empty() ? AppName() : g_invokedName; }

std::string ExecutablePath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

const std::string& AppName() {
  if (g_appName.empty()) {
    std::string path = ExecutablePath();
    if (path.empty()) path = "tarnwick";
    g_appName = path.substr(path.rfind('/') + 1);
  }
  return g_appName;
}

namespace {
std::vector<ShownMessage> g_recentMessages;
}

const std::vector<ShownMessage>& RecentMessages() { return g_recentMessages; }

int AfxMessageBox(const std::string& text, UINT type) {
  g_recentMessages.insert(g_recentMessages.begin(), ShownMessage{text, type});
  if (g_recentMessages.size() > 2) g_recentMessages.pop_back();
  return ui().messageBox(text, type);
}
int AfxMessageBox(int stringId, UINT type) { return AfxMessageBox(LoadString(stringId), type); }

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

std::string FormatString(const std::string& fmt, const std::string& arg) {
  std::string out;
  bool used = false;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '%' && i + 1 < fmt.size()) {
      if (fmt[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (fmt[i + 1] == 's' && !used) {
        out += arg;
        used = true;
        ++i;
        continue;
      }
    }
    out += fmt[i];
  }
  return out;
}

DWORD GetTickCount() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

void SetProgramStarter(std::function<bool(const std::string&)> starter) { g_starter = std::move(starter); }

namespace {
bool g_lendInput = false;
bool g_silenceCopies = false;
int g_inputLease = -1;  // read end: at its end once the last copy let go of our input
constexpr const char* kInputLease = "TARNWICK_INPUT_LEASE";
std::vector<std::pair<std::string, std::string>> g_copiesVariables;

// The lease this copy was started with (the write end its starter waits on), until released.
// Read once: this process's environment is never changed, since resolver threads read it.
int& heldLease() {
  static int fd = [] {
    const char* v = std::getenv(kInputLease);
    return v ? std::atoi(v) : -1;
  }();
  return fd;
}

// A copy's environment: ours without a lease of our own starter's, with the overrides.
std::vector<std::string> copyEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
  auto overridden = [&](std::string_view entry) {
    std::string_view name = entry.substr(0, entry.find('='));
    if (name == kInputLease) return true;
    for (const auto& [n, v] : overrides)
      if (name == n) return true;
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    if (!overridden(*e)) env.emplace_back(*e);
  for (const auto& [n, v] : overrides) env.push_back(n + "=" + v);
  return env;
}
}  // namespace

void LendInputToCopies(bool on) { g_lendInput = on; }
void SilenceCopies(bool on) { g_silenceCopies = on; }

void SetCopiesVariable(const std::string& name, const std::string& value) {
  for (auto& [n, v] : g_copiesVariables)
    if (n == name) {
      v = value;
      return;
    }
  g_copiesVariables.emplace_back(name, value);
}

int TakeInputLease() {
  int fd = g_inputLease;
  g_inputLease = -1;
  return fd;
}

void ReleaseStartupInput() {
  int& lease = heldLease();
  if (lease < 0) return;
  int nul = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nul >= 0) {
    ::dup2(nul, 0);
    ::close(nul);
  }
  ::close(lease);
  lease = -1;
}

bool WinExec(const std::string& commandLine) {
  if (g_starter) return g_starter(commandLine);
  // The first word names the program, which is this executable: start it again with the rest as one argument.
  std::string rest;
  if (auto sp = commandLine.find(' '); sp != std::string::npos) rest = commandLine.substr(sp + 1);
  std::string exe = ExecutablePath();
  if (exe.empty()) return false;
  // Copies of a supervising process (AdoptCopies), and theirs, end with it: their supervisor's
  // pid goes with them, and the copy's parent becomes that process once its starter is gone.
  int subreaper = 0;
  ::prctl(PR_GET_CHILD_SUBREAPER, &subreaper);
  const char* inherited = std::getenv("TARNWICK_SUPERVISOR");
  std::string supervisor = subreaper ? std::to_string(::getpid()) : inherited ? inherited : "";
  const pid_t supervisorPid = static_cast<pid_t>(std::atol(supervisor.c_str()));
  // A copy's own copies must not hold its lease open: it ends when the copy lets go.
  if (heldLease() >= 0) ::fcntl(heldLease(), F_SETFD, FD_CLOEXEC);
  int lease[2] = {-1, -1};
  if (g_lendInput && ::pipe2(lease, O_CLOEXEC) != 0) lease[0] = lease[1] = -1;
  // Everything the copy needs is made here: between fork and exec only calls that take no
  // lock may run (another thread, a name look-up, may have held one when we forked).
  auto overrides = g_copiesVariables;
  overrides.emplace_back("TARNWICK_HANDOFF", "1");
  if (supervisorPid > 0) overrides.emplace_back("TARNWICK_SUPERVISOR", supervisor);
  if (lease[1] >= 0) overrides.emplace_back(kInputLease, std::to_string(lease[1]));
  const std::vector<std::string> env = copyEnvironment(overrides);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {exe.data(), rest.empty() ? nullptr : rest.data(), nullptr};
  pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : lease)
      if (fd >= 0) ::close(fd);
    return false;
  }
  if (pid == 0) {
    // Detached: its own session, not our child, standard input from /dev/null.
    const pid_t starter = ::getpid();
    if (::fork() != 0) ::_exit(0);
    if (supervisorPid > 0) {
      while (::getppid() == starter) ::usleep(200);
      // SIGTERM ends a session keeping its entry, as when the supervisor passes it on.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != supervisorPid) ::_exit(2);  // gone already: the entry is untouched
    }
    ::setsid();
    if (lease[1] >= 0) {
      // Our terminal stays its input until its start-up questions are answered.
      ::fcntl(lease[1], F_SETFD, 0);
    } else {
      int nul = ::open("/dev/null", O_RDONLY);
      if (nul >= 0) {
        ::dup2(nul, 0);
        if (nul > 0) ::close(nul);
      }
    }
    if (g_silenceCopies) {
      int nul = ::open("/dev/null", O_WRONLY);
      if (nul >= 0) {
        ::dup2(nul, 1);
        ::dup2(nul, 2);
        if (nul > 2) ::close(nul);
      }
    }
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(exe.c_str(), argv, envp.data());
    ::_exit(127);
  }
  if (lease[1] >= 0) ::close(lease[1]);
  if (lease[0] >= 0) {
    if (g_inputLease >= 0) ::close(g_inputLease);
    g_inputLease = lease[0];
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string CreateTempFile(const std::string& prefix) {
  const char* dir = std::getenv("TMPDIR");
  std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/" + prefix + "XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return std::string();
  ::close(fd);
  return tmpl;
}

void DeleteFile(const std::string& path) { ::unlink(path.c_str()); }

std::string HelpFilePath() {
  std::string dir = ExecutablePath();
  dir = dir.substr(0, dir.rfind('/'));
  for (const std::string& p : {dir + "/help/tarnwick.html", dir + "/../share/tarnwick/help/tarnwick.html",
                               std::string(TARNWICK_SOURCE_DIR) + "/src/resources/help/tarnwick.html"}) {
    struct stat st{};
    if (::stat(p.c_str(), &st) == 0) return p;
  }
  return dir + "/help/tarnwick.html";
}

void MessageBeep(bool error) { ui().beep(error); }
std::string ChooseFolder(const std::string& start) { return ui().chooseFolder(start).value_or(std::string()); }
void WinHelp(int context) { ui().openHelp(context); }
bool SetClipboardText(const std::string& text) { return ui().setClipboardText(text); }
bool OpenDocument(const std::string& path) { return ui().openFile(path); }

// ---- other programs' settings ----

namespace {
std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The first profile folder of a Mozilla program that holds prefs.js.
std::string mozillaPrefs(const std::string& home, const std::string& folder) {
  std::string base = home + "/" + folder;
  std::string ini = readFile(base + "/profiles.ini");
  std::vector<std::string> candidates;
  std::istringstream in(ini);
  std::string line, path;
  bool isDefault = false;
  auto take = [&] {
    if (!path.empty()) {
      std::string p = path[0] == '/' ? path : base + "/" + path;
      if (isDefault)
        candidates.insert(candidates.begin(), p);
      else
        candidates.push_back(p);
    }
    path.clear();
    isDefault = false;
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') take();
    if (line.rfind("Path=", 0) == 0) path = line.substr(5);
    if (line == "Default=1") isDefault = true;
  }
  take();
  for (const auto& c : candidates) {
    std::string text = readFile(c + "/prefs.js");
    if (!text.empty()) return text;
  }
  return std::string();
}

std::string prefString(const std::string& prefs, const std::string& name) {
  std::regex re("user_pref\\(\"" + std::regex_replace(name, std::regex("\\."), "\\.") + "\",\\s*\"([^\"]*)\"\\)");
  std::smatch m;
  return std::regex_search(prefs, m, re) ? m[1].str() : std::string();
}
int prefInt(const std::string& prefs, const std::string& name) {
  std::regex re("user_pref\\(\"" + std::regex_replace(name, std::regex("\\."), "\\.") + "\",\\s*(-?[0-9]+)\\)");
  std::smatch m;
  return std::regex_search(prefs, m, re) ? std::atoi(m[1].str().c_str()) : 0;
}

// "http://host:port/" -> "host:port"
std::string proxyFromEnv(const char* a, const char* b) {
  const char* v = std::getenv(a);
  if (!v || !*v) v = std::getenv(b);
  if (!v || !*v) return std::string();
  std::string s = v;
  if (auto p = s.find("://"); p != std::string::npos) s = s.substr(p + 3);
  if (auto at = s.rfind('@'); at != std::string::npos) s = s.substr(at + 1);
  if (auto sl = s.find('/'); sl != std::string::npos) s = s.substr(0, sl);
  return s;
}
}  // namespace

BrowserSettings ReadBrowserSettings() {
  BrowserSettings b;
  const char* home = std::getenv("HOME");
  std::string h = home ? home : "";
  // Firefox's manual proxy stands in for the browser's own proxy entries.
  std::string firefox = h.empty() ? std::string() : mozillaPrefs(h, ".mozilla/firefox");
  b.httpProxyHost = prefString(firefox, "network.proxy.http");
  b.httpProxyPort = prefInt(firefox, "network.proxy.http_port");
  b.ftpProxyHost = prefString(firefox, "network.proxy.ftp");
  b.ftpProxyPort = prefInt(firefox, "network.proxy.ftp_port");
  // The system-wide proxy variables stand in for the default user's "ProxyServer".
  std::string http = proxyFromEnv("http_proxy", "HTTP_PROXY");
  std::string ftp = proxyFromEnv("ftp_proxy", "FTP_PROXY");
  if (!ftp.empty()) b.systemProxyServer += "ftp=" + ftp;
  if (!http.empty()) b.systemProxyServer += (b.systemProxyServer.empty() ? "" : ";") + std::string("http=") + http;
  std::string thunderbird = h.empty() ? std::string() : mozillaPrefs(h, ".thunderbird");
  if (!thunderbird.empty()) b.userAddress = prefString(thunderbird, "mail.identity.id1.useremail");
  if (const char* e = std::getenv("EMAIL")) b.systemMailName = e;
  return b;
}
