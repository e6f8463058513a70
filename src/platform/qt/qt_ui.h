#pragma once
#include <memory>

#include "platform/ui.h"

// Widget views of the dialogs, laid out from their templates in dialog units.
std::unique_ptr<UiBackend> makeQtUi();
