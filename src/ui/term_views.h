// The terminal renderings of the dialogs here whose questions are worded apart from their
// template texts; the application registers them at start-up. The About box needs none: the
// generic form shows it.
#pragma once
#include <memory>

#include "platform/ui.h"

class CDialog;

std::unique_ptr<DialogView> makeConfigTermView(CDialog& dlg);
std::unique_ptr<DialogView> makePasswordTermView(CDialog& dlg);
std::unique_ptr<DialogView> makeEnterUrlTermView(CDialog& dlg);
std::unique_ptr<DialogView> makeHeadersTermView(CDialog& dlg);
std::unique_ptr<DialogView> makeResumeTermView(CDialog& dlg);
std::unique_ptr<DialogView> makeDropTermView(CDialog& dlg);
std::unique_ptr<DialogView> makeOverviewTermView(CDialog& dlg);
