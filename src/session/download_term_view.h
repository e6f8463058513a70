#pragma once
#include <memory>

#include "platform/ui.h"

class CDialog;

// The session window on a terminal: a panel redrawn in place with keys for its commands, or,
// when standard input or error is not a terminal, one line per change of the top line or the
// note and at most one progress line a second.
std::unique_ptr<DialogView> makeDownloadTermView(CDialog& dlg);
