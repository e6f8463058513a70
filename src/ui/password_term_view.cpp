// Credentials on a terminal: the prompt text, then the user name and the password (not
// echoed), asked again while the dialog refuses them; the end of input is Cancel.
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "resources/ids.h"
#include "ui/term_views.h"

namespace {
using namespace res;

void runPassword(CDialog& dlg) {
  term::writeErr(dlg.ControlText(IDC_PASSWORD_PROMPT) + "\n");
  for (;;) {
    auto user = term::readLine("Username: ");
    if (!user) {
      term::sayTaken("Cancel");
      return dlg.ViewCommand(IDCANCEL);
    }
    auto pass = term::readLine("Password: ", false);
    if (!pass) return dlg.ViewCommand(IDCANCEL);
    dlg.SetControlText(IDC_USER, *user);
    dlg.SetControlText(IDC_PASSWORD, *pass);
    dlg.ViewCommand(IDOK);
    if (dlg.IsEnded()) return;
  }
}
}  // namespace

std::unique_ptr<DialogView> makePasswordTermView(CDialog& dlg) { return term::formView(dlg, runPassword); }
