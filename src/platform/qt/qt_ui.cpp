#include "platform/qt/qt_ui.h"

std::unique_ptr<UiBackend> makeTerminalUi();

std::unique_ptr<UiBackend> makeQtUi() { return makeTerminalUi(); }
