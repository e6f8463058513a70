// System services the program uses besides windows.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win.h"

// Message box with the application's name as caption.
int AfxMessageBox(const std::string& text, UINT type = MB_OK);
int AfxMessageBox(int stringId, UINT type = MB_OK);

// The last two message boxes shown, the newest first: what a job's ending line sums up.
struct ShownMessage {
  std::string text;
  UINT type = 0;
};
const std::vector<ShownMessage>& RecentMessages();

// printf-style formatting of a string-table text or a literal.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Replaces the first %s (or %1) style placeholders as printf would, for texts from the table.
std::string FormatString(const std::string& fmt, const std::string& arg);

// Milliseconds, wrapping as an unsigned 32-bit count.
DWORD GetTickCount();

// Starts a copy of this program with the text after the command line's first word (the
// program's name) as its one argument.
// Returns false when it could not be started (callers do not look).
bool WinExec(const std::string& commandLine);
// While on, copies keep this process's standard input (a terminal) for their start-up
// questions instead of /dev/null; TakeInputLease gives the last one's lease, a descriptor
// that reaches its end once that copy has let go of the input (or ended), -1 when none.
void LendInputToCopies(bool on);
// While on, copies write nothing to this process's standard output and error (a terminal
// that shows a table of its own).
void SilenceCopies(bool on);
int TakeInputLease();
// Copies started from now on get name=value in their environment. This process's own
// environment is never changed: name look-ups on other threads read it.
void SetCopiesVariable(const std::string& name, const std::string& value);
// In a copy that was lent its starter's input: its start-up questions are answered, the
// input is given back (/dev/null from now on).
void ReleaseStartupInput();

// A new unique file in the temporary directory whose name starts with prefix.
std::string CreateTempFile(const std::string& prefix);
void DeleteFile(const std::string& path);

void MessageBeep(bool error);
// Asks the user for a folder, starting in start; "" when cancelled.
std::string ChooseFolder(const std::string& start);
void WinHelp(int context);  // 0: contents
// The shipped help page (context N is its anchor #ctx-N).
std::string HelpFilePath();
bool SetClipboardText(const std::string& text);
// Opens a file or folder with the desktop's program for it; false when there is none.
bool OpenDocument(const std::string& path);

// Settings of other programs, read from their Linux homes.
struct BrowserSettings {
  std::string httpProxyHost;
  int httpProxyPort = 0;
  std::string ftpProxyHost;
  int ftpProxyPort = 0;
  std::string systemProxyServer;  // "http=host:port;ftp=host:port"
  std::string userAddress;        // the mail client's address
  std::string systemMailName;     // EMAIL
};
BrowserSettings ReadBrowserSettings();

// The application's name: the executable's base name.
const std::string& AppName();
// The program as it was invoked (its first argument as typed, "./build/tarnwick"), for
// commands the user may copy; AppName() when not set.
const std::string& InvokedName();
// The running executable's full path; empty when the system does not say.
std::string ExecutablePath();

// Test and start-up hooks.
void SetAppName(const std::string& name);
void SetInvokedName(const std::string& name);
#include <functional>
void SetProgramStarter(std::function<bool(const std::string&)> starter);
