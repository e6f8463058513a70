// The entry point of the widget view module.
#include "platform/qt/qt_ui.h"
#include "platform/widget_view.h"

extern "C" __attribute__((visibility("default"))) const WidgetView* tarnwickWidgetView() {
  static const WidgetView view{makeWidgetEventLoop, makeQtUi};
  return &view;
}
