#include "platform/ui.h"

#include "platform/term/term_ui.h"

namespace {
std::unique_ptr<UiBackend> g_ui;
}

UiBackend& ui() {
  if (!g_ui) g_ui = makeTerminalUi();
  return *g_ui;
}

void setUi(std::unique_ptr<UiBackend> backend) { g_ui = std::move(backend); }
