// The options in section Config, their defaults, and the other sections' names.
#pragma once
#include <cstdint>
#include <string>

inline constexpr const char* kSectionConfig = "Config";
inline constexpr const char* kSectionFileQueue = "FileQueue";
inline constexpr const char* kSectionDropWindow = "DropWindow";

inline constexpr const char* kErrorBeep = "ErrorBeep";
inline constexpr const char* kDoneBeep = "DoneBeep";
inline constexpr const char* kExit = "Exit";
inline constexpr const char* kResumeSerial = "ResumeSerial";
inline constexpr const char* kRollback = "Rollback";
inline constexpr const char* kProxy = "Proxy";
inline constexpr const char* kProxyFTP = "ProxyFTP";
inline constexpr const char* kEMail = "EMail";
// Seconds without a byte either way before a connection counts as broken; 0 never.
inline constexpr const char* kTimeout = "Timeout";
// Attempts in a row that may bring no new byte before a broken download waits for the
// user; 0 pauses at the first break.
inline constexpr const char* kRetries = "Retries";
inline constexpr int kMaxRetries = 1000;
inline constexpr int kMaxTimeout = 86400;  // a day
// FTP data connections opened by us (passive, which passes NAT and firewalls) rather than
// by the server (active); 0 keeps active mode.
inline constexpr const char* kFTPPassive = "FTPPassive";
// The folder Save As proposes and files named without a question go to; "" is the working
// folder (in a window, Save As then proposes the desktop's download folder).
inline constexpr const char* kDownloadDir = "DownloadDir";
// 1: a download handed over by the browser asks where to save it (Save As); 0 (default) it
// goes to the download folder under the browser's name.
inline constexpr const char* kBrowserAsk = "BrowserAsk";
// Connections one download may use at once (1 to 16): further ones each fetch a piece.
inline constexpr const char* kConnections = "Connections";
inline constexpr int kMaxConnections = 16;
// How many of the user's downloads run at once, across every process (1 to 50); the others
// wait for their turn.
inline constexpr const char* kMaxActive = "MaxActive";
inline constexpr int kMaxMaxActive = 50;
// The download's total speed over all its connections, bytes per second; 0 no limit.
inline constexpr const char* kMaxSpeed = "MaxSpeed";
// The speed of all of the user's running downloads together, in every process, bytes per
// second; 0 no limit. Each download's own limit holds within it.
inline constexpr const char* kTotalMaxSpeed = "TotalMaxSpeed";
// A rate as a person writes it: bytes per second, or with k, M or G (times 1024 each):
// "500k", "2M", "1.5M". False when text is no such rate.
bool ParseRate(const std::string& text, std::int64_t& bytesPerSecond);
// A value for this process alone in place of the stored one (a command-line option).
void OverrideConfigInt(const char* name, std::int64_t value);

// DownloadDir, else the working folder: where a file named without a question goes.
std::string DownloadFolder();

// Reads an option afresh with its default (options are never cached).
std::int64_t ConfigInt(const char* name);
std::string ConfigString(const char* name);

// The options as the configuration dialog edits them.
struct Options {
  int errorBeep = 1;
  int doneBeep = 1;
  int exitWhenDone = 1;
  int resumeSerial = 0;
  int rollback = 4;
  std::string proxy;
  std::string proxyFtp;
  std::string email = "tarnwick@";
  int connections = 4;
  int maxSpeedK = 0;  // MaxSpeed in K/sec, 0 none
  int totalMaxSpeedK = 0;  // TotalMaxSpeed in K/sec, 0 none
  int maxActive = 3;
  int retries = 5;
  int timeout = 60;
  int ftpPassive = 1;
  std::string downloadDir;
  int browserAsk = 0;
};
Options ReadOptions();
// Writes them all, integers first, in the order they are read.
void WriteOptions(const Options& o);

// The rollback in bytes (the resume point steps back by it, see transfer/download.h).
std::int64_t RollbackBytes();
