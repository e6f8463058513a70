// The user-facing side of the platform: message boxes, Save As, views of dialogs.
// Three backends implement it: widgets, the terminal, and a scripted one for tests.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "platform/win.h"

class CDialog;

class DialogView {
 public:
  virtual ~DialogView() = default;
  // Called once the dialog has been initialised, inside its modal loop.
  virtual void started() {}
};

class UiBackend {
 public:
  virtual ~UiBackend() = default;
  // Shows text with the buttons of type; returns IDOK, IDYES, IDNO or IDCANCEL.
  virtual int messageBox(const std::string& text, UINT type) = 0;
  // Asks for a file to save to, proposing name in folder (empty: the working folder in a
  // terminal, the desktop's download folder in a window); nullopt when cancelled.
  virtual std::optional<std::string> saveAs(const std::string& folder, const std::string& proposedName) = 0;
  // Asks for a folder, starting in folder; nullopt when cancelled (or where a field is typed).
  virtual std::optional<std::string> chooseFolder(const std::string&) { return std::nullopt; }
  // The folder saveAs proposes for folder (the working folder when empty).
  virtual std::string saveFolder(const std::string& folder);
  // Makes the view of a dialog that is about to run modally.
  virtual std::unique_ptr<DialogView> createView(CDialog& dlg) = 0;
  virtual void beep(bool error) = 0;
  virtual void openHelp(int context) = 0;
  virtual bool setClipboardText(const std::string& text) = 0;
  // Opens a file or a folder with the desktop's program for it; false when there is none.
  virtual bool openFile(const std::string&) { return false; }
  // A line saying how a job ended. Only the terminal shows it: a window has said so already.
  virtual void statusLine(const std::string&) {}
};

UiBackend& ui();
void setUi(std::unique_ptr<UiBackend> backend);
