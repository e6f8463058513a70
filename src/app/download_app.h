#pragma once
#include <optional>
#include <string>

#include "platform/app.h"

class CDownloadApp : public CWinApp {
 public:
  bool InitInstance() override;
  void OnTerminate() override;

  // Takes the GNU-style options (-h/--help, --version, -o/--output FILE, -q/--quiet) out of
  // the arguments, leaving the rest for the command line. The exit status when the process
  // ends here: help, version, or a bad option (said on standard error).
  std::optional<int> takeOptions(int& argc, char** argv);

  std::string m_outputPath;  // -o: the new download's file, no Save As question
  // For scripts: --list [--json], --pause SLOT, --remove SLOT; they need no window.
  enum class Script { None, List, Pause, Remove };
  Script m_script = Script::None;
  bool m_json = false;
  std::string m_scriptSlot;
  bool m_quiet = false;      // -q: no progress lines
  // In a terminal the jobs that start copies wait for them, passing signals on.
  bool m_superviseCopies = false;
  // Copies started by this process are being waited for.
  bool waitsForCopies() const { return m_waitsForCopies; }

 private:
  void runSession();
  void runConfig();
  int runScript();
  bool m_waitsForCopies = false;
};

// The usage text shown for an empty command line.
const char* UsageText();
