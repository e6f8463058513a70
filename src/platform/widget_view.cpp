#include "platform/widget_view.h"

#include <dlfcn.h>

#include "platform/services.h"

#ifndef TARNWICK_MODULE_DIR
#define TARNWICK_MODULE_DIR "../lib/tarnwick"
#endif

namespace {
constexpr const char* kModuleName = "libtarnwick_widgets.so";
}

const WidgetView* LoadWidgetView(std::string& error) {
  std::string exe = ExecutablePath();
  std::string dir = exe.substr(0, exe.rfind('/') + 1);
  // The build tree keeps it beside the executable; an install, in its library folder.
  for (const std::string& path : {dir + kModuleName, dir + TARNWICK_MODULE_DIR "/" + kModuleName}) {
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      error = ::dlerror();
      continue;
    }
    auto entry = reinterpret_cast<WidgetViewEntry>(::dlsym(module, TARNWICK_WIDGET_VIEW_ENTRY));
    if (entry) return entry();
    error = ::dlerror();
    ::dlclose(module);
  }
  return nullptr;
}
