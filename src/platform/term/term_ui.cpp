// Terminal mode: message boxes, Save As, credentials and forms on standard error and input,
// and the session window as a panel redrawn in place (or as plain lines when not on a terminal).
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/app.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/ui.h"
#include "platform/wnd.h"

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string plain(const std::string& s) { return StripMnemonics(s); }

std::string cwd() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

bool exists(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0;
}
bool isDir(const std::string& p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Asks a yes/no question until it gets an answer; the end of input is dflt.
bool askYesNo(const std::string& prompt, bool dflt) {
  for (;;) {
    auto line = term::readLine(prompt);
    if (!line) return dflt;
    std::string a = lower(*line);
    if (a.empty()) return dflt;
    if (a == "y" || a == "yes") return true;
    if (a == "n" || a == "no") return false;
  }
}

// Copies started by another one share its terminal: their lines carry the window's tag (its queue slot).
void takeLinePrefix(const CDialog& dlg) {
  static const bool handOff = std::getenv("TARNWICK_HANDOFF") != nullptr;
  if (handOff && term::linePrefix().empty() && !dlg.Tag().empty()) term::linePrefix() = "[" + dlg.Tag() + "] ";
}

// ---- the session window ----

class SessionView : public DialogView, public DialogObserver {
 public:
  explicit SessionView(CDialog& dlg) : m_dlg(dlg), m_panel(term::stdinIsTty() && term::stderrIsTty()) {
    m_dlg.SetObserver(this);
  }
  ~SessionView() override {
    if (m_panel) {
      redraw();
      term::setKeyHandler(nullptr);
    } else {
      printProgress(true);
    }
  }
  void started() override {
    // Keys are read one by one only once the start-up questions (Save As) are answered.
    m_started = true;
    if (m_panel) term::setKeyHandler([this](char c) { onKey(c); });
    redraw();
    checkRest();
  }

  void modelChanged(CDialog&, ModelChange what, int id) override {
    // Copies started by another one share its terminal: their lines carry their queue slot.
    takeLinePrefix(m_dlg);
    if (what == ModelChange::Menu || what == ModelChange::Position) return;
    if (what == ModelChange::Control && (id == 1005 || id == 1017 || id == 1019 || id == 1020)) return;
    if (m_panel) {
      scheduleRedraw();
    } else if (what == ModelChange::Control && (id == 1000 || id == 1025)) {
      std::string text = m_dlg.ControlText(id);
      if (!text.empty() && text != m_lastLine[id == 1000 ? 0 : 1]) {
        m_lastLine[id == 1000 ? 0 : 1] = text;
        term::writeErr(term::linePrefix() + text + "\n");
      }
    } else if (what == ModelChange::Control && id == 1001) {
      printProgress(false);  // the size line is set after the time line of the same refresh
    }
    checkRest();
  }

 private:
  void onKey(char c) {
    switch (c) {
      case 'p': case 'P': m_dlg.ViewCommand(3); break;
      case 'q': case 'Q': case 27: m_dlg.ViewCommand(IDCANCEL); break;
      case 'v': case 'V': m_dlg.ViewSysCommand(18); break;
      case 'a': case 'A': m_dlg.ViewSysCommand(16); break;
      case 'h': case 'H': m_dlg.ViewSysCommand(17); break;
      default: break;
    }
  }

  void printProgress(bool final) {
    std::string size = m_dlg.ControlText(1001), time = m_dlg.ControlText(1002);
    if (size.empty() && time.empty()) return;
    std::string line = size + (time.empty() ? "" : "  " + time);
    if (line == m_lastProgress || (final && size == m_lastSize)) return;
    m_lastSize = size;
    DWORD now = GetTickCount();
    if (!final && m_printedOnce && now - m_lastPrint < 1000) return;
    m_printedOnce = true;
    m_lastPrint = now;
    m_lastProgress = line;
    term::writeErr(term::linePrefix() + line + "\n");
  }

  void scheduleRedraw() {
    if (m_redrawPending) return;
    m_redrawPending = true;
    QTimer::singleShot(0, [this, alive = m_alive] {
      if (!*alive) return;
      m_redrawPending = false;
      redraw();
    });
  }

  void redraw() {
    if (!m_panel || !m_started) return;
    std::string out;
    if (m_drawnLines > 0) out += "\x1b[" + std::to_string(m_drawnLines) + "F";
    auto line = [&](const std::string& s) { out += "\r\x1b[2K" + s + "\n"; };
    line(m_dlg.GetWindowText());
    line("  " + m_dlg.ControlText(1000));
    line("  File: " + m_dlg.ControlText(1004));
    line("  " + m_dlg.ControlText(1001));
    line("  " + m_dlg.ControlText(1002));
    int pos = 0;
    if (auto* c = m_dlg.Control(1003)) pos = std::clamp(c->pos, 0, 100);
    int filled = pos * 40 / 100;
    line("  [" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(40 - filled), '.') +
         "] " + std::to_string(pos) + "%");
    line("  " + m_dlg.ControlText(1025));
    std::string pause = plain(m_dlg.ControlText(3));
    auto* pb = m_dlg.Control(3);
    std::string hints = "  ";
    if (pb && pb->enabled) hints += "p " + pause + "   ";
    hints += "q " + plain(m_dlg.ControlText(2)) + "   v View Header   a About   h Help";
    line(hints);
    m_drawnLines = 8;
    term::writeErr(out);
  }

  void checkRest() {
    if (term::stdinIsTty()) return;
    // Not on a terminal nobody can press a key: a session at rest ends its process.
    QTimer::singleShot(0, [this, alive = m_alive] {
      if (*alive && m_dlg.IsRunning() && !m_dlg.IsEnded() && m_dlg.IsAtRest()) m_dlg.EndDialog(IDCANCEL);
    });
  }

  CDialog& m_dlg;
  bool m_panel;
  bool m_redrawPending = false;
  bool m_started = false;  // nothing is drawn while start-up questions are asked
  int m_drawnLines = 0;
  std::string m_lastLine[2];
  std::string m_lastProgress;
  std::string m_lastSize;
  DWORD m_lastPrint = 0;
  bool m_printedOnce = false;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

 public:
  void kill() { *m_alive = false; }
};

struct SessionViewHolder : DialogView {
  explicit SessionViewHolder(CDialog& d) : view(std::make_unique<SessionView>(d)) {}
  ~SessionViewHolder() override { view->kill(); }
  void started() override { view->started(); }
  std::unique_ptr<SessionView> view;
};

// ---- forms: run once the dialog is up, then end it through its own OK and Cancel ----

class FormView : public DialogView {
 public:
  FormView(CDialog& dlg, std::function<void(CDialog&)> run) : m_dlg(dlg), m_run(std::move(run)) {}
  ~FormView() override { *m_alive = false; }
  void started() override {
    QTimer::singleShot(0, [this, alive = m_alive] {
      if (!*alive || m_dlg.IsEnded()) return;
      m_run(m_dlg);
      if (!m_dlg.IsEnded()) m_dlg.EndDialog(IDCANCEL);
    });
  }

 private:
  CDialog& m_dlg;
  std::function<void(CDialog&)> m_run;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// Asks for an edit field until the dialog accepts it; false at the end of input.
bool askField(CDialog& dlg, int id, const std::string& label, bool echo = true) {
  for (;;) {
    std::string shown = dlg.ControlText(id);
    auto line = term::readLine(label + (echo && !shown.empty() ? " [" + shown + "]" : "") + ": ", echo);
    if (!line) return false;
    if (!line->empty() || !echo) dlg.SetControlText(id, *line);
    if (dlg.ValidateControl(id)) return true;
    dlg.SetControlText(id, shown);  // asked again with the value it had
  }
}

void runConfig(CDialog& dlg) {
  const std::pair<int, const char*> fields[] = {
      {1013, "HTTP Proxy server"}, {1015, "FTP Proxy server"}, {1034, "EMail address"},
      {1010, "Rollback (K on resumed connections)"}};
  for (const auto& [id, label] : fields)
    if (!askField(dlg, id, label)) return;
  for (int id : {1007, 1008, 1009, 1011}) {
    auto* c = dlg.Control(id);
    bool on = askYesNo(plain(c->text) + (c->checked ? " [Y/n] " : " [y/N] "), c->checked != 0);
    c->checked = on ? 1 : 0;
    dlg.ChangedControl(id);
  }
  term::writeErr(AppName() + ": Save these settings?\n");
  if (askYesNo("[y/n] ", true))
    dlg.ViewCommand(IDOK);
  else
    dlg.ViewCommand(IDCANCEL);
}

void runPassword(CDialog& dlg) {
  term::writeErr(dlg.ControlText(1016) + "\n");
  for (;;) {
    auto user = term::readLine("Username: ");
    if (!user) return dlg.ViewCommand(IDCANCEL);
    auto pass = term::readLine("Password: ", false);
    if (!pass) return dlg.ViewCommand(IDCANCEL);
    dlg.SetControlText(1014, *user);
    dlg.SetControlText(1015, *pass);
    dlg.ViewCommand(IDOK);
    if (dlg.IsEnded()) return;
  }
}

void runEnterUrl(CDialog& dlg) {
  auto line = term::readLine(plain(dlg.Template().controls[0].text) + "\nURL: ");
  if (!line) return dlg.ViewCommand(IDCANCEL);
  dlg.SetControlText(1035, *line);
  dlg.ViewCommand(IDOK);
}

void runAbout(CDialog& dlg) {
  std::string out;
  for (const auto& c : dlg.Controls()) {
    std::string t = c.tmpl->kind == ControlKind::Edit ? c.text : plain(c.text);
    if (c.kind == ControlKind::PushButton || t.empty()) continue;
    out += "  " + t + "\n";
  }
  term::writeErr(dlg.GetWindowText() + "\n" + out);
  dlg.ViewCommand(IDOK);
}

void runHeaders(CDialog& dlg) {
  std::string text = dlg.ControlText(1026);
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  term::writeErr("---- " + dlg.GetWindowText() + " ----\n" + out + (out.empty() || out.back() == '\n' ? "" : "\n") +
                 "----\n");
  dlg.ViewCommand(IDOK);
}

// Lists numbered entries of the Resume Downloads list and reads commands.
void runResume(CDialog& dlg) {
  for (;;) {
    auto* list = dlg.Control(1011);
    std::string out = plain(dlg.Template().controls[0].text) + "\n";
    for (std::size_t i = 0; i < list->items.size(); ++i)
      out += "  " + std::to_string(i + 1) + ". " + list->items[i].first + "\n";
    if (list->items.empty()) out += "  (none)\n";
    term::writeErr(out);
    auto line = term::readLine("r N... resume, R resume all, d N... delete, D delete all, q close: ");
    if (!line) return dlg.ViewCommand(IDCANCEL);
    std::string cmd = *line;
    while (!cmd.empty() && cmd.front() == ' ') cmd.erase(cmd.begin());
    if (cmd.empty()) continue;
    char k = cmd[0];
    std::vector<int> picks;
    std::size_t i = 1;
    while (i < cmd.size()) {
      while (i < cmd.size() && !std::isdigit(static_cast<unsigned char>(cmd[i]))) ++i;
      std::size_t j = i;
      while (j < cmd.size() && std::isdigit(static_cast<unsigned char>(cmd[j]))) ++j;
      if (j > i) picks.push_back(std::atoi(cmd.substr(i, j - i).c_str()) - 1);
      i = j;
    }
    list->selected.clear();
    for (int p : picks)
      if (p >= 0 && p < static_cast<int>(list->items.size())) list->selected.push_back(p);
    std::sort(list->selected.begin(), list->selected.end());
    list->selected.erase(std::unique(list->selected.begin(), list->selected.end()), list->selected.end());
    if (k == 'q' || k == 'Q') return dlg.ViewCommand(IDCANCEL);
    if (k == 'r') dlg.ViewCommand(1014);
    if (k == 'R') dlg.ViewCommand(1015);
    if (k == 'd') dlg.ViewCommand(1012);
    if (k == 'D') dlg.ViewCommand(1013);
    if (dlg.IsEnded()) return;
  }
}

// The drop window reads URLs line by line, each handed on as a dropped link would be.
void runDrop(CDialog& dlg) {
  term::writeErr(plain(dlg.GetWindowText()) + ": enter one URL per line; an empty line or the end of input closes.\n");
  for (;;) {
    auto line = term::readLine("URL: ");
    if (!line || line->empty()) return dlg.ViewCommand(IDCANCEL);
    WinExec("TARNWICK.EXE " + *line);
  }
}

class TerminalUi : public UiBackend {
 public:
  int messageBox(const std::string& text, UINT type) override {
    if (CWinApp* app = AfxGetApp(); app && app->m_pMainWnd) takeLinePrefix(*app->m_pMainWnd);
    term::writeErr(term::linePrefix() + AppName() + ": " + text + "\n");
    UINT kind = type & MB_TYPEMASK;
    if (kind != MB_YESNO && kind != MB_YESNOCANCEL) return IDOK;
    bool withCancel = kind == MB_YESNOCANCEL;
    for (;;) {
      auto line = term::readLine(withCancel ? "[y/n/c] " : "[y/n] ");
      if (!line) return IDYES;
      std::string a = lower(*line);
      if (a.empty() || a == "y") return IDYES;
      if (a == "n") return IDNO;
      if (withCancel && a == "c") return IDCANCEL;
    }
  }

  std::optional<std::string> saveAs(const std::string& proposed) override {
    std::string dir = cwd();
    for (;;) {
      auto line = term::readLine("Save as [" + proposed + "]: ");
      if (!line) {
        std::string p = dir + "/" + proposed;
        if (proposed.empty() || exists(p)) return std::nullopt;
        return p;
      }
      std::string name = line->empty() ? proposed : *line;
      if (name.empty()) continue;
      std::string path = name[0] == '/' ? name : dir + "/" + name;
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
        if (!askYesNo("Replace? [y/n] ", false)) continue;
      }
      return path;
    }
  }

  std::unique_ptr<DialogView> createView(CDialog& dlg) override {
    switch (dlg.TemplateId()) {
      case res::IDD_DOWNLOAD: return std::make_unique<SessionViewHolder>(dlg);
      case res::IDD_CONFIG: return std::make_unique<FormView>(dlg, runConfig);
      case res::IDD_PASSWORD: return std::make_unique<FormView>(dlg, runPassword);
      case res::IDD_ENTERURL: return std::make_unique<FormView>(dlg, runEnterUrl);
      case res::IDD_ABOUTBOX: return std::make_unique<FormView>(dlg, runAbout);
      case res::IDD_HEADERS: return std::make_unique<FormView>(dlg, runHeaders);
      case res::IDD_RESUME: return std::make_unique<FormView>(dlg, runResume);
      case res::IDD_DROPWND: return std::make_unique<FormView>(dlg, runDrop);
      default: return nullptr;
    }
  }

  void beep(bool) override {
    if (term::stderrIsTty()) term::writeErr("\a");
  }

  void openHelp(int context) override {
    term::writeErr("Help: " + helpPath() + (context ? "#ctx-" + std::to_string(context) : "") + "\n");
  }

  // A terminal has no clipboard of ours; the viewer has printed the text already.
  bool setClipboardText(const std::string&) override { return false; }

  static std::string helpPath();
};

std::string TerminalUi::helpPath() { return HelpFilePath(); }

}  // namespace

std::unique_ptr<UiBackend> makeTerminalUi() { return std::make_unique<TerminalUi>(); }
