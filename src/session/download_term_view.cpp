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
#include "session/progress_text.h"

namespace {
using namespace res;

// A wait's countdown changes its number every second: a log gets it once per wait.
bool sameCountdown(const std::string& a, const std::string& b) {
  // Where it stands in line is said once in lines; the panel shows it as it changes.
  static const std::string kTurn = "Waiting for its turn:";
  if (a.rfind(kTurn, 0) == 0 && b.rfind(kTurn, 0) == 0) return true;
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
        term::writeErr(text + "\n");
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
    term::writeErr(line + "\n");
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

  // The panel for a terminal columns wide and rows high: every line shorter than the width,
  // texts broken between words (URLs and paths shortened in the middle), and never more
  // lines than rows: what matters least gives way first (a line that scrolled off the top
  // could never be redrawn).
  std::vector<std::string> panelLines(int columns) {
    const int width = std::max(columns - 1, 1), height = std::max(term::rows(), 1);
    struct Part {
      std::vector<std::string> lines;
      int keep;  // the higher, the longer it stays
    };
    std::vector<Part> parts;
    // A line with nothing to say yet keeps its place (the panel does not jump), and is the
    // first to go when rows are short.
    auto words = [&](const std::string& s, int keep) {
      bool blank = s.find_first_not_of(' ') == std::string::npos;
      parts.push_back({term::wrapWords(s, width, "  "), blank ? 1 : keep});
    };
    auto one = [&](const std::string& s, int keep) { parts.push_back({{term::fitWidth(s, width)}, keep}); };
    words(m_dlg.GetWindowText(), 10);
    one("  " + m_dlg.ControlText(IDC_URL_TEXT), 5);
    one("  File: " + m_dlg.ControlText(IDC_LOCAL_FILE_TEXT), 6);
    words("  " + m_dlg.ControlText(IDC_SIZE_TEXT), 9);
    words("  " + m_dlg.ControlText(IDC_TIME_TEXT), 8);
    int pos = 0;
    bool busy = false;
    if (auto* c = m_dlg.Control(IDC_PROGRESS)) pos = std::clamp(c->pos, 0, 100), busy = c->rangeLo == c->rangeHi;
    JobPhase phase = m_dlg.GetTaskState();
    std::string state = phaseAtRest(phase) ? phaseText(phase) : "";
    std::string after = busy ? "] size unknown" : "] " + std::to_string(pos) + "%" + (state.empty() ? "" : "  " + state);
    // The bar takes what the line leaves, and the piece map below it is exactly as wide.
    std::string map = m_dlg.ControlText(IDC_PROGRESS);
    const std::string mapAfter = "] pieces";
    int bar = std::clamp(width - 3 - static_cast<int>(std::max(after.size(), map.empty() ? 0 : mapAfter.size())), 1, 60);
    if (busy) {
      // No size announced: a block that moves while bytes come, and no percentage.
      std::string track(static_cast<std::size_t>(bar), '.');
      std::size_t at = (GetTickCount() / 250) % static_cast<std::size_t>(bar);
      track.replace(at, std::min<std::size_t>(3, track.size() - at), std::string(std::min<std::size_t>(3, track.size() - at), '#'));
      one("  [" + track + after, 10);
    } else {
      int filled = pos * bar / 100;
      one("  [" + std::string(static_cast<std::size_t>(filled), '#') + std::string(static_cast<std::size_t>(bar - filled), '.') +
              after,
          10);
    }
    // A download in pieces: which parts are in and where each connection is.
    if (!map.empty()) one("  [" + scaleMap(map, bar) + mapAfter, 4);
    words("  " + m_dlg.ControlText(IDC_NO_RESUME_NOTE), 7);
    // The key hints, whole: as many as fit the line (the keys work all the same).
    std::vector<std::string> hints;
    if (auto* pb = m_dlg.Control(IDC_PAUSE); pb && pb->enabled) hints.push_back("p " + StripMnemonics(m_dlg.ControlText(IDC_PAUSE)));
    hints.push_back("q " + StripMnemonics(m_dlg.ControlText(IDCANCEL)));
    for (const char* h : {"v View Header", "a About", "h Help"}) hints.push_back(h);
    std::string keys = "  " + hints[0];
    for (std::size_t i = 1; i < hints.size() && keys.size() + 3 + hints[i].size() <= static_cast<std::size_t>(width); ++i)
      keys += "   " + hints[i];
    one(keys, 3);
    // Too many lines: the part that matters least loses its further lines, then whole parts go.
    auto count = [&] {
      std::size_t n = 0;
      for (const auto& p : parts) n += p.lines.size();
      return n;
    };
    while (count() > static_cast<std::size_t>(height)) {
      Part* least = nullptr;
      for (auto& p : parts)
        if (p.lines.size() > 1 && (!least || p.keep < least->keep)) least = &p;
      if (least) {
        least->lines.pop_back();
        continue;
      }
      auto gone = std::min_element(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.keep < b.keep; });
      if (gone == parts.end()) break;
      parts.erase(gone);
    }
    std::vector<std::string> lines;
    for (const auto& p : parts) lines.insert(lines.end(), p.lines.begin(), p.lines.end());
    return lines;
  }

  void checkRest() {
    // Not on a terminal nobody can press a key: a session at rest ends its process. On one,
    // a finished session ends too: keeping its window open is a desktop choice.
    if (term::interactive() && m_dlg.GetTaskState() != JobPhase::Finished) return;
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
