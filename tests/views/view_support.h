// Shared pieces of the view tests: a backend that answers message boxes from a script while
// building real widget views, and a dialog that records what its view reports.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <deque>
#include <string>
#include <vector>

#include "platform/qt/dialog_view.h"
#include "platform/qt/qt_ui.h"
#include "platform/ui.h"
#include "platform/wnd.h"

struct ScriptedBoxes : UiBackend {
  std::vector<std::string> shown;
  std::deque<int> answers;
  int messageBox(const std::string& text, UINT) override {
    shown.push_back(text);
    if (answers.empty()) return IDOK;
    int a = answers.front();
    answers.pop_front();
    return a;
  }
  std::optional<std::string> saveAs(const std::string&, const std::string&) override { return std::nullopt; }
  std::vector<std::string> folderAsked;  // where each folder chooser started
  std::optional<std::string> folderAnswer;
  std::optional<std::string> chooseFolder(const std::string& start) override {
    folderAsked.push_back(start);
    return folderAnswer;
  }
  std::unique_ptr<DialogView> createView(CDialog& dlg) override { return std::make_unique<qtui::QtDialogView>(dlg); }
  void beep(bool) override {}
  void openHelp(int) override {}
  bool setClipboardText(const std::string&) override { return true; }
};

class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto b = std::make_unique<ScriptedBoxes>();
    boxes = b.get();
    setUi(std::move(b));
  }
  void TearDown() override { setUi(nullptr); }
  ScriptedBoxes* boxes = nullptr;
};

// Records commands and messages instead of acting on them.
class RecordingDialog : public CDialog {
 public:
  explicit RecordingDialog(int templateId) : CDialog(templateId) {}
  std::vector<int> commands;
  std::vector<std::pair<UINT, WPARAM>> messages;
  std::vector<LPARAM> params;

 protected:
  bool OnCmdMsg(int id) override {
    commands.push_back(id);
    return true;
  }
  bool OnWndMsg(UINT msg, WPARAM w, LPARAM l, LRESULT&) override {
    messages.push_back({msg, w});
    params.push_back(l);
    return true;
  }
};

// Pixels of dialog units, worked out from the application font as the dialog manager does.
struct Units {
  int bx, by;
  Units() {
    QFontMetrics fm(QApplication::font());
    int w = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    bx = (w / 26 + 1) / 2;
    by = fm.height();
  }
  int x(int du) const { return (du * bx + 2) / 4; }
  int y(int du) const { return (du * by + 4) / 8; }
};

inline bool hasMessage(const RecordingDialog& d, UINT msg) {
  for (const auto& m : d.messages)
    if (m.first == msg) return true;
  return false;
}
