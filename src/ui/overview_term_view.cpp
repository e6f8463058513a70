// Downloads on a terminal: the table drawn live as a panel, a cursor row, and keys for the
// actions (j/k or the arrow keys move, space marks, r resume, p pause, d remove, o open,
// f folder, s sorts by the next column, q closes). Without a terminal the table is printed
// once and the window closes.
#include <algorithm>

#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "resources/ids.h"
#include "ui/overview_dlg.h"
#include "ui/term_views.h"

namespace {
using namespace res;

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

  std::vector<std::string> lines(int columns, bool keys = true) {
    auto rows = cells();
    // Sizes, counts, rates and times align right, as numbers do.
    auto aligned = alignColumns(rows, [](std::size_t i) { return i >= 1 && i <= 4; });
    std::vector<std::string> out;
    const auto& sel = list().selected;
    for (std::size_t n = 0; n < aligned.size(); ++n) {
      int item = static_cast<int>(n) - 1;
      std::string line = n == 0 ? "  " : (item == m_cursor ? ">" : " ");
      if (n > 0) line += std::find(sel.begin(), sel.end(), item) != sel.end() ? "*" : " ";
      out.push_back(term::fitWidth(line + aligned[n], columns - 1, true));
    }
    if (rows.size() == 1) out.push_back("  (no downloads)");
    if (keys)
      out.push_back(term::fitWidth("j/k move, space mark, r resume, p pause, d remove, o open, f folder, s sort, q close",
                                   columns - 1));
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
      case 'd': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_REMOVE); break;
      case 'o': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_OPEN); break;
      case 'f': pick(); m_dlg.ViewCommand(IDC_OVERVIEW_FOLDER); break;
      case 's': {
        ControlState& l = list();
        l.sortColumn = (l.sortColumn + 1) % 8;
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
  int m_escape = 0;
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
}  // namespace

std::unique_ptr<DialogView> makeOverviewTermView(CDialog& dlg) { return std::make_unique<OverviewView>(dlg); }
