#pragma once
#include <QMessageBox>
#include <memory>
#include <string>

#include "platform/run.h"
#include "platform/ui.h"
#include "platform/win.h"

// An event loop with widgets, for the desktop views. argc is kept by reference.
std::unique_ptr<EventLoop> makeWidgetEventLoop(int& argc, char** argv);

// Widget views of the dialogs, laid out from their templates in dialog units.
std::unique_ptr<UiBackend> makeQtUi();

namespace qtui {
// The icon of a message box's kind: the one named in type, else judged by its buttons and text.
QMessageBox::Icon messageIcon(UINT type, const std::string& text);
}  // namespace qtui
