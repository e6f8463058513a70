#include "settings/options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/app.h"
#include "platform/file.h"

namespace {
struct IntDefault {
  const char* name;
  std::int64_t def;
};
constexpr IntDefault kIntDefaults[] = {
    {kErrorBeep, 1}, {kDoneBeep, 1}, {kExit, 1}, {kResumeSerial, 0}, {kRollback, 4}, {kTimeout, 60}, {kRetries, 5},
    {kFTPPassive, 1}, {kConnections, 4}, {kMaxSpeed, 0}, {kMaxActive, 3}, {kTotalMaxSpeed, 0},
};
struct StringDefault {
  const char* name;
  const char* def;
};
constexpr StringDefault kStringDefaults[] = {{kProxy, ""}, {kProxyFTP, ""}, {kEMail, "tarnwick@"}, {kDownloadDir, ""}};
}  // namespace

namespace {
std::map<std::string, std::int64_t>& overrides() {
  static std::map<std::string, std::int64_t> m;
  return m;
}
}  // namespace

void OverrideConfigInt(const char* name, std::int64_t value) { overrides()[name] = value; }

bool ParseRate(const std::string& text, std::int64_t& bytesPerSecond) {
  char* end = nullptr;
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return false;
  double v = std::strtod(text.c_str(), &end);
  std::string unit = end;
  double scale = 1;
  if (unit == "k" || unit == "K") scale = 1024.0;
  else if (unit == "m" || unit == "M") scale = 1024.0 * 1024;
  else if (unit == "g" || unit == "G") scale = 1024.0 * 1024 * 1024;
  else if (!unit.empty()) return false;
  v *= scale;
  if (!(v >= 1) || v > 1e15) return false;
  bytesPerSecond = static_cast<std::int64_t>(v);
  return true;
}

std::int64_t ConfigInt(const char* name) {
  if (auto it = overrides().find(name); it != overrides().end()) return it->second;
  std::int64_t def = 0;
  for (const auto& d : kIntDefaults)
    if (std::strcmp(d.name, name) == 0) def = d.def;
  return AfxGetApp()->GetProfileInt(kSectionConfig, name, def);
}

std::string ConfigString(const char* name) {
  std::string def;
  for (const auto& d : kStringDefaults)
    if (std::strcmp(d.name, name) == 0) def = d.def;
  return AfxGetApp()->GetProfileString(kSectionConfig, name, def);
}

std::string DownloadFolder() {
  std::string folder = ConfigString(kDownloadDir);
  return folder.empty() ? CurrentFolder() : folder;
}

Options ReadOptions() {
  Options o;
  o.errorBeep = static_cast<int>(ConfigInt(kErrorBeep));
  o.doneBeep = static_cast<int>(ConfigInt(kDoneBeep));
  o.exitWhenDone = static_cast<int>(ConfigInt(kExit));
  o.resumeSerial = static_cast<int>(ConfigInt(kResumeSerial));
  o.rollback = static_cast<int>(ConfigInt(kRollback));
  o.proxy = ConfigString(kProxy);
  o.proxyFtp = ConfigString(kProxyFTP);
  o.email = ConfigString(kEMail);
  o.connections = static_cast<int>(ConfigInt(kConnections));
  o.maxSpeedK = static_cast<int>(ConfigInt(kMaxSpeed) / 1024);
  o.totalMaxSpeedK = static_cast<int>(ConfigInt(kTotalMaxSpeed) / 1024);
  o.maxActive = static_cast<int>(ConfigInt(kMaxActive));
  o.retries = static_cast<int>(ConfigInt(kRetries));
  o.timeout = static_cast<int>(ConfigInt(kTimeout));
  o.ftpPassive = static_cast<int>(ConfigInt(kFTPPassive));
  o.downloadDir = ConfigString(kDownloadDir);
  o.browserAsk = ConfigInt(kBrowserAsk) == 1;
  return o;
}

void WriteOptions(const Options& o) {
  CWinApp* app = AfxGetApp();
  // Each value reaches the store in the order it is read, integers first.
  const std::pair<const char*, int> ints[] = {{kErrorBeep, o.errorBeep},
                                              {kDoneBeep, o.doneBeep},
                                              {kExit, o.exitWhenDone},
                                              {kResumeSerial, o.resumeSerial},
                                              {kRollback, o.rollback},
                                              {kConnections, o.connections},
                                              {kMaxSpeed, o.maxSpeedK * 1024},
                                              {kTotalMaxSpeed, o.totalMaxSpeedK * 1024},
                                              {kMaxActive, o.maxActive},
                                              {kRetries, o.retries},
                                              {kTimeout, o.timeout},
                                              {kFTPPassive, o.ftpPassive},
                                              {kBrowserAsk, o.browserAsk}};
  for (const auto& [name, value] : ints) {
    app->WriteProfileInt(kSectionConfig, name, value);
    app->FlushProfile();
  }
  app->WriteProfileString(kSectionConfig, kProxy, o.proxy);
  app->WriteProfileString(kSectionConfig, kProxyFTP, o.proxyFtp);
  app->WriteProfileString(kSectionConfig, kEMail, o.email);
  app->WriteProfileString(kSectionConfig, kDownloadDir, o.downloadDir);
  app->FlushProfile();
}

std::int64_t RollbackBytes() { return ConfigInt(kRollback) * 1024; }
