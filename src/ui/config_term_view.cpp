// The configuration on a terminal: each field on a line of its own in tab order, the check
// boxes as y/n, then one question that stands for OK.
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "resources/ids.h"
#include "transfer/url.h"
#include "ui/term_views.h"

namespace {
using namespace res;

void runConfig(CDialog& dlg) {
  const std::pair<int, const char*> fields[] = {{IDC_HTTP_PROXY, "HTTP Proxy server"},
                                                {IDC_FTP_PROXY, "FTP Proxy server"},
                                                {IDC_EMAIL, "EMail address"},
                                                {IDC_ROLLBACK, "Rollback (K on resumed connections)"},
                                                {IDC_CONNECTIONS, "Connections (1 to 16)"},
                                                {IDC_MAX_SPEED, "Speed limit (K/sec, 0 none)"},
                                                {IDC_TOTAL_MAX_SPEED, "Total limit (K/sec over all downloads, 0 none)"},
                                                {IDC_RETRIES, "Retries (tries without new data before pausing)"},
                                                {IDC_TIMEOUT, "Timeout (seconds without data, 0 never)"},
                                                {IDC_MAX_ACTIVE, "Downloads at once (1 to 50)"},
                                                {IDC_DOWNLOAD_DIR, "Download folder (none: the current one)"}};
  for (const auto& [id, label] : fields) {
    bool text = id == IDC_HTTP_PROXY || id == IDC_FTP_PROXY || id == IDC_EMAIL || id == IDC_DOWNLOAD_DIR;
    // The value in brackets is shown: a proxy's password is not.
    bool proxy = id == IDC_HTTP_PROXY || id == IDC_FTP_PROXY;
    if (!term::askField(dlg, id, label, true, text, proxy ? displayUrl : nullptr)) return;
  }
  for (int id : {IDC_ERROR_BEEP, IDC_DONE_BEEP, IDC_EXIT_WHEN_DONE, IDC_RESUME_SERIAL, IDC_FTP_PASSIVE,
                 IDC_BROWSER_ASK}) {
    auto* c = dlg.Control(id);
    bool on = term::askYesNo(StripMnemonics(c->text) + (c->checked ? " [Y/n] " : " [y/N] "), c->checked != 0);
    c->checked = on ? 1 : 0;
    dlg.ChangedControl(id);
  }
  term::writeErr(AppName() + ": Save these settings?\n");
  dlg.ViewCommand(term::askYesNo("[y/n] ", true) ? IDOK : IDCANCEL);
}
}  // namespace

std::unique_ptr<DialogView> makeConfigTermView(CDialog& dlg) { return term::formView(dlg, runConfig); }
