// A platform for in-process tests: answers for message boxes, Save As and dialogs are
// queued by the test, and everything shown is recorded.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/app.h"
#include "platform/ui.h"
#include "platform/wnd.h"

struct ShownBox {
  std::string text;
  UINT type;
};

class ScriptedUi : public UiBackend {
 public:
  int messageBox(const std::string& text, UINT type) override;
  std::optional<std::string> saveAs(const std::string& folder, const std::string& proposedName) override;
  std::unique_ptr<DialogView> createView(CDialog& dlg) override;
  void beep(bool error) override { beeps.push_back(error); }
  void openHelp(int context) override { helps.push_back(context); }
  bool setClipboardText(const std::string& text) override {
    clipboard = text;
    return clipboardWorks;
  }
  bool openFile(const std::string& path) override {
    opened.push_back(path);
    return true;
  }

  // Answers, taken in order; an empty queue answers the first button (OK or Yes), and Save As cancels.
  std::deque<int> boxAnswers;
  // Runs while a message box is open (its nested loop), before it is answered.
  std::function<void()> whileBoxOpen;
  std::deque<std::optional<std::string>> saveAnswers;
  // Actions run once a dialog of that template is up; they end it through the model.
  std::map<int, std::deque<std::function<void(CDialog&)>>> dialogActions;
  // The session window ends as soon as it comes to rest (as it does without a terminal).
  bool endSessionAtRest = true;

  std::vector<ShownBox> boxes;
  std::vector<std::string> proposedNames;
  std::vector<std::string> proposedFolders;  // the folder each Save As proposed ("" the view's own)
  std::vector<bool> beeps;
  std::vector<int> helps;
  std::string clipboard;
  bool clipboardWorks = true;
  std::vector<std::string> opened;  // files and folders opened
  std::vector<std::string> started;  // command lines of programs started
};

// The scripted platform and a store in a temporary folder, for one test.
class TestEnvironment {
 public:
  TestEnvironment();
  ~TestEnvironment();
  ScriptedUi& ui() { return *m_ui; }
  CWinApp& app() { return *m_app; }
  const std::string& dir() const { return m_dir; }
  std::string path(const std::string& name) const { return m_dir + "/" + name; }

 private:
  std::string m_dir;
  ScriptedUi* m_ui;
  std::unique_ptr<CWinApp> m_app;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& data);
// Runs the event loop until pred holds or ms pass; returns pred().
bool spinUntil(const std::function<bool()>& pred, int ms = 5000);
