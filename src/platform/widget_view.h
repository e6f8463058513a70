// The widget view is a module of its own, loaded only when a display is used: a terminal
// start maps no GUI library.
#pragma once
#include <memory>
#include <string>

#include "platform/run.h"
#include "platform/ui.h"

struct WidgetView {
  // An event loop with widgets; argc is kept by reference.
  std::unique_ptr<EventLoop> (*makeEventLoop)(int& argc, char** argv);
  // Widget views of the dialogs.
  std::unique_ptr<UiBackend> (*makeUi)();
};

// The module's entry point, by this name.
#define TARNWICK_WIDGET_VIEW_ENTRY "tarnwickWidgetView"
extern "C" {
using WidgetViewEntry = const WidgetView* (*)();
}

// Loads the module from beside the executable, else from its installed place; nullptr with
// the loader's reason for the last place in error when neither loads.
const WidgetView* LoadWidgetView(std::string& error);
