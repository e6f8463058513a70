// Works on the window's model alone (its controls by name, its commands), so it follows
// whatever the session does without knowing the session class.
#include "session/download_term_view.h"

#include <algorithm>
#include <vector>

#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "resources/ids.h"

namespace {
using namespace res;

// A wait's countdown changes its number every second: a log gets it once per wait.
bool sameCountdown(const std::string& a, const std::string& b) {
  static const std::string kCountdown = " Trying again in ";
  auto at = a.find(kCountdown);
  return at != std::string::npos && b.compare(0, at + kCountdown.size(), a, 0, at + kCountdown.size()) == 0;
}

class SessionView : public DialogView, public DialogObserver {
 public:
  explicit SessionView(CDialog& dlg) : m_dlg(dlg), m_panel(term::interactive() && !term::quiet() && !term::linesOnly()) {
    m_dlg.SetObserver(this);
  }
  ~SessionView() override {
    if (m_started && term::interactive()) term::setKeyHandler(nullptr);
    if (m_panel && m_started)
      term::endPanel();
    else if (!m_panel)
      printProgress(true);
  }
  void started() override {
    // Keys are read one by one only once the start-up questions (Save As) are answered; a
    // copy that was lent its starter's terminal for them gives it back.
    m_started = true;
    ReleaseStartupInput();
    if (term::interactive()) term::setKeyHandler([this](char c) { onKey(c); });
    if (m_panel) term::setPanel([this](int columns) { return panelLines(columns); });
    checkRest();
  }

  void modelChanged(CDialog&, ModelChange what, int id) override {
    term::takeLinePrefix(m_dlg);
    if (what == ModelChange::Menu || what == ModelChange::Position) return;
    // The animated pictures change five times a second and show nothing here.
    if (what == ModelChange::Control &&
        (id == IDC_STATUS_ICON || id == IDC_TIME_ICON || id == IDC_LOCAL_FILE_ICON || id == IDC_STATE_ICON))
      return;
    if (m_panel) {
      scheduleRedraw();
    } else if (what == ModelChange::Control && (id == IDC_NO_RESUME_NOTE || (id == IDC_URL_TEXT && !term::quiet()))) {
      std::string text = m_dlg.ControlText(id);
      std::string& last = m_lastLine[id == IDC_URL_TEXT ? 0 : 1];
      if (!text.empty() && text != last && !sameCountdown(text, last)) {
        last = text;
        term::writeErr(term::linePrefix() + text + "\n");
      }
    } else if (what == ModelChange::Control && id == IDC_SIZE_TEXT) {
      printProgress(false);  // the size line is set after the time line of the same refresh
    }
    checkRest();
  }

  void kill() { *m_alive = false; }

 private:
  void onKey(char c) {
    switch (c) {
      case 'p':
      case 'P': m_dlg.ViewCommand(IDC_PAUSE); break;
      case 'q':
      case 'Q':
      case 27: m_dlg.ViewCommand(IDCANCEL); break;
      case 'v':
      case 'V': m_dlg.ViewSysCommand(IDM_VIEW_HEADER); break;
      case 'a':
      case 'A': m_dlg.ViewSysCommand(IDM_ABOUTBOX); break;
      case 'h':
      case 'H': m_dlg.ViewSysCommand(IDM_HELP); break;
      default: break;
    }
  }

  void printProgress(bool final) {
    if (term::quiet()) return;
    std::string size = m_dlg.ControlText(IDC_SIZE_TEXT), time = m_dlg.ControlText(IDC_TIME_TEXT);
    if (size.empty() && time.empty()) return;
    std::string line = size + (time.empty() ? "" : "  " + time);
    // The last line printed is the one to compare with: a line held back by the once a
    // second rule is still owed at the end (the final count, 100% when complete).
    if (line == m_lastProgress || (final && size == m_lastSize)) return;
    DWORD now = GetTickCount();
    if (!final && m_printedOnce && now - m_lastPrint < 1000) return;
    m_lastSize = size;
    m_printedOnce = true;
    m_lastPrint = now;
    m_lastProgress = line;
    term::writeErr(term::linePrefix() + line + "\n");
  }

  void scheduleRedraw() {
    if (m_redrawPending || !m_started) return;
    m_redrawPending = true;
    term::later([this, alive = m_alive] {
      if (!*alive) return;
      m_redrawPending = false;
      term::redrawPanel();
    });
  }

  // The panel for a terminal columns wide: every line shorter than that, long texts (URLs,
  // paths) shortened in the middle.
  std::vector<std::string> panelLines(int columns) {
    int width = std::max(columns - 1, 1);
    std::vector<std::string> lines;
    auto line = [&](const std::string& s) { lines.push_back(term::fitWidth(s, width)); };
    line(m_dlg.GetWindowText());
    line("  " + m_dlg.ControlText(IDC_URL_TEXT));
    line("  File: " + m_dlg.ControlText(IDC_LOCAL_FILE_TEXT));
    line("  " + m_dlg.ControlText(IDC_SIZE_TEXT));
    line("  " + m_dlg.ControlText(IDC_TIME_TEXT));
    int pos = 0;
    bool busy = false;
    if (auto* c = m_dlg.Control(IDC_PROGRESS)) pos = std::clamp(c->pos, 0, 100), busy = c->rangeLo == c->rangeHi;
    int bar = std::clamp(width - 30, 1, 40), filled = pos * bar / 100;
    std::string words = taskStateWords(m_dlg.GetTaskState());
    if (busy) {
      // No size announced: a block that moves while bytes come, and no percentage.
      std::string track(static_cast<std::size_t>(bar), '.');
      std::size_t at = (GetTickCount() / 250) % static_cast<std::size_t>(bar);
      track.replace(at, std::min<std::size_t>(3, track.size() - at), std::string(std::min<std::size_t>(3, track.size() - at), '#'));
      line("  [" + track + "] size unknown");
    } else {
      line("  [" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(bar - filled), '.') + "] " + std::to_string(pos) + "%" +
           (words.empty() ? "" : "  " + words));
    }
    // A download in pieces: which parts are in and where each connection is.
    if (std::string map = m_dlg.ControlText(IDC_PROGRESS); !map.empty()) line("  [" + map + "] pieces");
    line("  " + m_dlg.ControlText(IDC_NO_RESUME_NOTE));
    std::string hints = "  ";
    if (auto* pb = m_dlg.Control(IDC_PAUSE); pb && pb->enabled)
      hints += "p " + StripMnemonics(m_dlg.ControlText(IDC_PAUSE)) + "   ";
    hints += "q " + StripMnemonics(m_dlg.ControlText(IDCANCEL)) + "   v View Header   a About   h Help";
    line(hints);
    return lines;
  }

  void checkRest() {
    // Not on a terminal nobody can press a key: a session at rest ends its process. On one,
    // a finished session ends too: keeping its window open is a desktop choice.
    if (term::interactive() && m_dlg.GetTaskState() != TaskState::Finished) return;
    term::later([this, alive = m_alive] {
      if (*alive && m_dlg.IsRunning() && !m_dlg.IsEnded() && m_dlg.IsAtRest()) m_dlg.EndDialog(IDCANCEL);
    });
  }

  CDialog& m_dlg;
  bool m_panel;
  bool m_redrawPending = false;
  bool m_started = false;  // nothing is drawn while start-up questions are asked
  std::string m_lastLine[2];
  std::string m_lastProgress;
  std::string m_lastSize;
  DWORD m_lastPrint = 0;
  bool m_printedOnce = false;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

// The view's last redraw runs in its destructor; callbacks still queued must find it gone.
struct SessionViewHolder : DialogView {
  explicit SessionViewHolder(CDialog& d) : view(std::make_unique<SessionView>(d)) {}
  ~SessionViewHolder() override { view->kill(); }
  void started() override { view->started(); }
  std::unique_ptr<SessionView> view;
};

}  // namespace

std::unique_ptr<DialogView> makeDownloadTermView(CDialog& dlg) { return std::make_unique<SessionViewHolder>(dlg); }
