// Downloads on a terminal: the table drawn live as a panel (as many rows as the terminal
// holds, scrolled with the cursor), the totals and the settings below it, and keys for the
// actions (j/k or the arrow keys move, space marks, r resume, p pause, n start now, u/w move
// up/down in line, d remove, o open, f folder, a add a URL, R/P resume/pause all, m downloads
// at once, t total speed limit, s sorts by the next column, q closes). Without a terminal the
// table and its totals are printed once and the window closes.
#include <algorithm>

#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "resources/ids.h"
#include "ui/overview_dlg.h"
#include "ui/term_views.h"

namespace {
using namespace res;

constexpr std::size_t kStateColumn = 6;  // #, file, size, done, rate, time left, state

class OverviewView : public DialogView, public DialogObserver {
 public:
  explicit OverviewView(CDialog& dlg) : m_dlg(dlg) { m_dlg.SetObserver(this); }
  ~OverviewView() override {
    m_dlg.SetObserver(nullptr);
    if (m_started) {
      SilenceCopies(false);
      term::setKeyHandler(nullptr);
      term::endPanel();
    }
    *m_alive = false;
  }

  void started() override {
    if (!term::interactive()) {
      term::writeErr(table(1000));
      term::later([this, alive = m_alive] {
        if (*alive && !m_dlg.IsEnded()) m_dlg.EndDialog(IDCANCEL);
      });
      return;
    }
    m_started = true;
    // Downloads resumed from here run on their own: the table shows them, their lines would
    // only break it.
    SilenceCopies(true);
    term::setKeyHandler([this](char c) { onKey(c); });
    term::setPanel([this](int columns) { return lines(columns); });
  }

  void modelChanged(CDialog&, ModelChange what, int) override {
    if (m_started && what == ModelChange::Control) term::redrawPanel();
  }

 private:
  ControlState& list() { return *m_dlg.Control(IDC_OVERVIEW_LIST); }

  // The headings, then the rows: each cell as the model holds it (no tab splits a name).
  std::vector<std::vector<std::string>> cells() {
    std::vector<std::string> head;
    const std::string& h = list().tmpl->text;
    for (std::size_t at = 0; at <= h.size();) {
      std::size_t tab = std::min(h.find('\t', at), h.size());
      head.push_back(h.substr(at, tab - at));
      at = tab + 1;
    }
    std::vector<std::vector<std::string>> rows{head};
    rows.insert(rows.end(), list().rows.begin(), list().rows.end());
    return rows;
  }

  std::string table(int columns) {
    std::string out;
    for (const auto& l : lines(columns, false)) out += l + "\n";
    return out;
  }

  // The totals, and the settings edited here.
  std::string footer() {
    std::string limit = m_dlg.ControlText(IDC_OVERVIEW_TOTAL_SPEED);
    return "  " + m_dlg.ControlText(IDC_OVERVIEW_TOTALS) + "; at once: " + m_dlg.ControlText(IDC_OVERVIEW_MAX_ACTIVE) +
           ", total speed limit: " + (limit == "0" || limit.empty() ? std::string("none") : limit + " K/sec");
  }

  std::vector<std::string> lines(int columns, bool keys = true) {
    auto rows = cells();
    // Every column up to the state fits the terminal: the names give way (in their middle).
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto& r : rows)
      for (std::size_t i = 0; i < r.size() && i < width.size(); ++i) width[i] = std::max(width[i], r[i].size());
    std::size_t upToState = 2;
    for (std::size_t i = 0; i <= kStateColumn && i < width.size(); ++i) upToState += width[i] + 2;
    if (upToState > static_cast<std::size_t>(columns - 1) && width.size() > 1) {
      int fit = std::max(12, static_cast<int>(width[1]) - static_cast<int>(upToState - static_cast<std::size_t>(columns - 1)));
      for (std::size_t n = 1; n < rows.size(); ++n) rows[n][1] = term::fitWidth(rows[n][1], fit);
    }
    // Sizes, counts, rates and times align right, as numbers do.
    auto aligned = alignColumns(rows, [](std::size_t i) { return i >= 2 && i <= 5; });
    std::vector<std::string> below;
    if (keys)
      below = term::wrapWords(
          "j/k move, space mark, r resume, p pause, n start now, u/w up/down in line, d remove, o open, f folder, "
          "a add URL, R/P resume/pause all, m at once, t total limit, s sort, q close",
          columns - 3, "  ");
    // The rows the terminal holds beside the heading, the totals and the keys: a window on the
    // table that keeps the cursor in sight.
    int count = static_cast<int>(aligned.size()) - 1;
    int room = keys ? std::max(1, term::rows() - 2 - static_cast<int>(below.size())) : count;
    m_cursor = std::clamp(m_cursor, 0, std::max(0, count - 1));
    m_top = std::clamp(m_top, std::max(0, m_cursor - room + 1), std::min(m_cursor, std::max(0, count - room)));
    std::vector<std::string> out{term::fitWidth("  " + aligned[0], columns - 1, true)};
    const auto& sel = list().selected;
    for (int item = m_top; item < std::min(count, m_top + room); ++item) {
      std::string line = item == m_cursor && keys ? ">" : " ";
      line += std::find(sel.begin(), sel.end(), item) != sel.end() ? "*" : " ";
      out.push_back(term::fitWidth(line + aligned[static_cast<std::size_t>(item) + 1], columns - 1, true));
    }
    if (count == 0) out.push_back("  (no downloads)");
    // Which rows are shown, when not all: said first, where a narrow terminal keeps it.
    std::string shown = count > room ? Format("  rows %d-%d of %d;", m_top + 1, std::min(count, m_top + room), count) : "";
    out.push_back(term::fitWidth(shown.empty() ? footer() : shown + footer().substr(1), columns - 1, true));
    if (!below.empty()) below[0] = "  " + below[0];
    out.insert(out.end(), below.begin(), below.end());
    return out;
  }

  void onKey(char c) {
    int count = static_cast<int>(list().rows.size());
    // An arrow key comes as ESC [ A / B.
    if (m_escape == 1 && c == '[') return void(m_escape = 2);
    if (m_escape == 2) {
      m_escape = 0;
      c = c == 'A' ? 'k' : c == 'B' ? 'j' : 0;
    } else if (c == 27) {
      m_escape = 1;
      return;
    }
    m_escape = 0;
    auto& sel = list().selected;
    // The actions take the marked rows, else the cursor's (which is not left marked).
    bool picked = false;
    auto pick = [&] {
      if (sel.empty() && m_cursor >= 0 && m_cursor < count) sel.push_back(m_cursor), picked = true;
    };
    switch (c) {
      case 'j': m_cursor = std::min(count - 1, m_cursor + 1); break;
      case 'k': m_cursor = std::max(0, m_cursor - 1); break;
      case ' ': {
        auto it = std::find(sel.begin(), sel.end(), m_cursor);
        if (it == sel.end()) sel.push_back(m_cursor);
        else sel.erase(it);
        break;
      }
      case 'r': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_RESUME); break;
      case 'p': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_PAUSE); break;
      case 'n': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_START_NOW); break;
      case 'u': case 'w': {
        pick();
        // The cursor goes with the row it moved, as the marks do.
        std::string slot = m_cursor < count ? list().rows[static_cast<std::size_t>(m_cursor)][0] : "";
        m_dlg.ViewCommand(c == 'u' ? IDC_OVERVIEW_MOVE_UP : IDC_OVERVIEW_MOVE_DOWN);
        for (std::size_t i = 0; i < list().rows.size(); ++i)
          if (list().rows[i][0] == slot) m_cursor = static_cast<int>(i);
        break;
      }
      case 'a': m_dlg.ViewCommand(IDC_OVERVIEW_ADD_URL); break;
      case 'R': m_dlg.ViewCommand(IDC_OVERVIEW_RESUME_ALL); break;
      case 'P': m_dlg.ViewCommand(IDC_OVERVIEW_PAUSE_ALL); break;
      case 'm': term::askField(m_dlg, IDC_OVERVIEW_MAX_ACTIVE, "Downloads at once (1 to 50)"); break;
      case 't': term::askField(m_dlg, IDC_OVERVIEW_TOTAL_SPEED, "Total speed limit (K/sec, 0 none)"); break;
      case 'd': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_REMOVE); break;
      case 'o': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_OPEN); break;
      case 'f': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_FOLDER); break;
      case 's': {
        ControlState& l = list();
        l.sortColumn = (l.sortColumn + 1) % static_cast<int>(cells()[0].size());
        m_dlg.ViewCommand(IDC_OVERVIEW_LIST);
        break;
      }
      case 'q': case 'Q': m_dlg.ViewCommand(IDCANCEL); return;
      default: return;
    }
    if (picked && !m_dlg.IsEnded()) list().selected.clear();
    term::redrawPanel();
  }

  CDialog& m_dlg;
  bool m_started = false;
  int m_cursor = 0;
  int m_top = 0;  // the first row shown
  int m_escape = 0;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
}  // namespace

std::unique_ptr<DialogView> makeOverviewTermView(CDialog& dlg) { return std::make_unique<OverviewView>(dlg); }
