// Terminal views of dialogs. A dialog is rendered generically from its template unless the
// application has registered a rendering of its own for that template (the session panel,
// forms whose questions are worded apart from their labels).
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/ui.h"

class CDialog;

namespace term {

using ViewFactory = std::unique_ptr<DialogView> (*)(CDialog& dlg);

// Registers the terminal rendering of the dialogs built from templateId.
void setView(int templateId, ViewFactory make);

// The view of dlg: its registered rendering, or the generic form.
std::unique_ptr<DialogView> makeView(CDialog& dlg);

// A view that runs run(dlg) once the dialog is up, then ends the dialog with Cancel unless
// run ended it.
std::unique_ptr<DialogView> formView(CDialog& dlg, std::function<void(CDialog&)> run);

// Asks a yes/no question until it gets an answer; the end of input or an empty line is dflt.
bool askYesNo(const std::string& prompt, bool dflt);

// Asks for edit field id as "label [shown]: " until the dialog accepts the value; an empty
// line keeps the shown value, a typed one is trimmed, and in a clearable field "-" empties it
// (the prompt says so). Without echo the line is taken as typed and nothing is shown.
// shownAs, when given, is how the value in brackets is shown. False at the end of input.
bool askField(CDialog& dlg, int id, const std::string& label, bool echo = true, bool clearable = false,
              const std::function<std::string(const std::string&)>& shownAs = nullptr);

// Copies started by another one share its terminal: from the first line on, theirs carry
// the window's tag (its queue slot).
void takeLinePrefix(const CDialog& dlg);

// Runs fn from the event loop, after the current event.
void later(std::function<void()> fn);

}  // namespace term
