#pragma once
#include <memory>

#include "platform/ui.h"

// Message boxes, Save As and dialogs on standard error and input.
std::unique_ptr<UiBackend> makeTerminalUi();
