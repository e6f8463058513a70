#include "platform/ui.h"

#include "platform/file.h"
#include "platform/term/term_ui.h"

namespace {
std::unique_ptr<UiBackend> g_ui;
}

std::string UiBackend::saveFolder(const std::string& folder) { return folder.empty() ? CurrentFolder() : folder; }

UiBackend& ui() {
  if (!g_ui) g_ui = makeTerminalUi();
  return *g_ui;
}

void setUi(std::unique_ptr<UiBackend> backend) { g_ui = std::move(backend); }
