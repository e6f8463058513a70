// Terminal mode: message boxes and Save As on standard error and input; dialogs get the
// views of term_views.
#include "platform/term/term_ui.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include "platform/app.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/ui.h"
#include "platform/wnd.h"

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string cwd() { return CurrentFolder(); }

// A link counts as there, even one pointing nowhere: saving would not go through it.
bool exists(const std::string& p) { return FileExists(p); }
bool isDir(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class TerminalUi : public UiBackend {
 public:
  int messageBox(const std::string& text, UINT type) override {
    if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd) term::takeLinePrefix(*app->m_pMainWnd);
    std::string shown = AppName() + ": " + text + "\n";
    UINT kind = type & MB_TYPEMASK;
    if (kind != MB_YESNO && kind != MB_YESNOCANCEL) {
      term::writeErr(shown);
      return IDOK;
    }
    bool withCancel = kind == MB_YESNOCANCEL;
    const bool noByDefault = (type & MB_DEFBUTTON2) != 0;
    // A question is written with its first prompt, so that nothing comes between them.
    for (;;) {
      auto line = term::readLine(shown + (withCancel ? "[y/n/c] " : "[y/n] "));
      if (!line && term::lineInterrupted()) return IDYES;
      if (!line) {
        term::sayTaken(noByDefault ? "No" : "Yes", shown);  // a log still tells what was decided
        return noByDefault ? IDNO : IDYES;
      }
      shown.clear();
      std::string a = lower(*line);
      if (a.empty()) return noByDefault ? IDNO : IDYES;
      if (a == "y") return IDYES;
      if (a == "n") return IDNO;
      if (withCancel && a == "c") return IDCANCEL;
    }
  }

  std::optional<std::string> saveAs(const std::string& folder, const std::string& proposed) override {
    std::string dir = folder.empty() ? cwd() : folder;
    // A folder other than the working one is shown, so that the answer is understood.
    std::string shown = folder.empty() ? proposed : dir + "/" + proposed;
    for (;;) {
      auto line = term::readLine("Save as [" + shown + "]: ");
      if (!line && term::lineInterrupted()) return std::nullopt;
      if (!line) {
        // No one to ask: a name that is taken gets ".1", ".2", ... as several URLs' files do.
        if (proposed.empty()) return std::nullopt;
        std::string p = FreePath(dir, proposed);
        term::sayTaken("Save as " + p);
        return p;
      }
      std::string name = line->empty() ? proposed : *line;
      if (name.empty()) continue;
      // A name typed relative is relative to the working folder; the proposed one to its folder.
      std::string path = name[0] == '/' ? name : (line->empty() ? dir : cwd()) + "/" + name;
      if (isDir(path)) {
        term::writeErr(path + " is a folder.\n");
        continue;
      }
      std::string folder = path.substr(0, path.rfind('/'));
      if (!folder.empty() && !isDir(folder)) {
        term::writeErr("The folder " + folder + " does not exist.\n");
        continue;
      }
      if (exists(path)) {
        term::writeErr(path + " already exists.\n");
        bool replace = term::askYesNo("Replace? [y/n] ", false);
        if (term::lineInterrupted()) return std::nullopt;
        if (!replace) continue;
      }
      return path;
    }
  }

  std::unique_ptr<DialogView> createView(CDialog& dlg) override { return term::makeView(dlg); }

  void statusLine(const std::string& text) override { term::writeLine(text); }

  void beep(bool) override {
    if (term::stderrIsTty()) term::writeErr("\a");
  }

  void openHelp(int context) override {
    term::writeErr("Help: " + helpPath() + (context ? "#ctx-" + std::to_string(context) : "") + "\n");
  }

  // A terminal has no clipboard of ours; the viewer has printed the text already.
  bool setClipboardText(const std::string&) override { return false; }

 private:
  static std::string helpPath() { return HelpFilePath(); }
};

}  // namespace

std::unique_ptr<UiBackend> makeTerminalUi() { return std::make_unique<TerminalUi>(); }
