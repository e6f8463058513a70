#pragma once
#include <QMessageBox>
#include <memory>
#include <string>

#include "platform/ui.h"
#include "platform/win.h"

// Widget views of the dialogs, laid out from their templates in dialog units.
std::unique_ptr<UiBackend> makeQtUi();

namespace qtui {
// The icon of a message box's kind: the one named in type, else judged by its buttons and text.
QMessageBox::Icon messageIcon(UINT type, const std::string& text);
}  // namespace qtui
