// Resume Downloads on a terminal: the entries numbered in list order, then commands
// (r N..., R, d N..., D, q) until the dialog ends; the end of input closes it.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "resources/ids.h"
#include "ui/term_views.h"

namespace {
using namespace res;

// The numbers after the command letter, as list indexes.
std::vector<int> picksOf(const std::string& cmd) {
  std::vector<int> picks;
  std::size_t i = 1;
  while (i < cmd.size()) {
    while (i < cmd.size() && !std::isdigit(static_cast<unsigned char>(cmd[i]))) ++i;
    std::size_t j = i;
    while (j < cmd.size() && std::isdigit(static_cast<unsigned char>(cmd[j]))) ++j;
    if (j > i) picks.push_back(std::atoi(cmd.substr(i, j - i).c_str()) - 1);
    i = j;
  }
  return picks;
}

void runResume(CDialog& dlg) {
  for (;;) {
    auto* list = dlg.Control(IDC_QUEUE_LIST);
    std::string out = StripMnemonics(dlg.Template().controls[0].text) + "\n";
    for (std::size_t i = 0; i < list->items.size(); ++i)
      out += "  " + std::to_string(i + 1) + ". " + list->items[i].first + "\n";
    if (list->items.empty()) out += "  (none)\n";
    term::writeErr(out);
    auto line = term::readLine("r N... resume, R resume all, d N... delete, D delete all, q close: ");
    if (!line) return dlg.ViewCommand(IDCANCEL);
    std::string cmd = *line;
    while (!cmd.empty() && cmd.front() == ' ') cmd.erase(cmd.begin());
    if (cmd.empty()) continue;
    list->selected.clear();
    for (int p : picksOf(cmd))
      if (p >= 0 && p < static_cast<int>(list->items.size())) list->selected.push_back(p);
    std::sort(list->selected.begin(), list->selected.end());
    list->selected.erase(std::unique(list->selected.begin(), list->selected.end()), list->selected.end());
    switch (cmd[0]) {
      case 'q': case 'Q': return dlg.ViewCommand(IDCANCEL);
      case 'r': dlg.ViewCommand(IDC_RESUME); break;
      case 'R': dlg.ViewCommand(IDC_RESUME_ALL); break;
      case 'd': dlg.ViewCommand(IDC_DELETE); break;
      case 'D': dlg.ViewCommand(IDC_DELETE_ALL); break;
      default: break;
    }
    if (dlg.IsEnded()) return;
  }
}
}  // namespace

std::unique_ptr<DialogView> makeResumeTermView(CDialog& dlg) { return term::formView(dlg, runResume); }
