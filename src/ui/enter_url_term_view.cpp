// Enter URL on a terminal: its instruction, then one line; the end of input is Cancel.
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "resources/ids.h"
#include "ui/term_views.h"

namespace {
void runEnterUrl(CDialog& dlg) {
  auto line = term::readLine(StripMnemonics(dlg.Template().controls[0].text) + "\nURL: ");
  if (!line) return dlg.ViewCommand(IDCANCEL);
  dlg.SetControlText(res::IDC_ENTERED_URL, *line);
  dlg.ViewCommand(IDOK);
}
}  // namespace

std::unique_ptr<DialogView> makeEnterUrlTermView(CDialog& dlg) { return term::formView(dlg, runEnterUrl); }
