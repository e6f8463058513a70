#pragma once
#include <memory>

#include "platform/run.h"
#include "platform/ui.h"

// An event loop with widgets, for the desktop views. argc is kept by reference.
std::unique_ptr<EventLoop> makeWidgetEventLoop(int& argc, char** argv);

// Widget views of the dialogs, laid out from their templates in dialog units.
std::unique_ptr<UiBackend> makeQtUi();
