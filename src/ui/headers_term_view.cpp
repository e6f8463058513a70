// The headers viewer on a terminal prints the log between rulers, without carriage returns.
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "resources/ids.h"
#include "ui/term_views.h"

namespace {
void runHeaders(CDialog& dlg) {
  std::string out;
  for (char c : dlg.ControlText(res::IDC_HEADERS_TEXT))
    if (c != '\r') out += c;
  term::writeErr("---- " + dlg.GetWindowText() + " ----\n" + out + (out.empty() || out.back() == '\n' ? "" : "\n") +
                 "----\n");
  dlg.ViewCommand(IDOK);
}
}  // namespace

std::unique_ptr<DialogView> makeHeadersTermView(CDialog& dlg) { return term::formView(dlg, runHeaders); }
