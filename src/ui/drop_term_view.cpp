// Without a display nothing can be dropped: the drop window reads URLs line by line and hands
// each to its drop target, as a dropped link would be.
#include "platform/drop.h"
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_views.h"
#include "platform/wnd.h"
#include "ui/term_views.h"

namespace {
void runDrop(CDialog& dlg) {
  term::writeErr(StripMnemonics(dlg.GetWindowText()) +
                 ": enter one URL per line; an empty line or the end of input closes.\n");
  // On a terminal each copy asks its own start-up questions (Save As) there; the next URL
  // is read once it has its answers, so that no line goes to the wrong reader.
  LendInputToCopies(term::stdinIsTty());
  for (;;) {
    auto line = term::readLine("URL: ");
    if (!line || line->empty()) {
      LendInputToCopies(false);
      return dlg.ViewCommand(IDCANCEL);
    }
    if (COleDropTarget* target = dlg.DropTarget()) target->OnDrop(DropData{true, *line});
    term::waitForEnd(TakeInputLease());
  }
}
}  // namespace

std::unique_ptr<DialogView> makeDropTermView(CDialog& dlg) { return term::formView(dlg, runDrop); }
