// Windows and dialogs. A dialog is a model of its controls; views render it.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "resources/resources.h"
#include "platform/phase.h"
#include "platform/win.h"

class CWnd;
class CDialog;
class COleDropTarget;
class DialogView;
using HWND = CWnd*;

// What a view is told when the model changes.
enum class ModelChange { Control, Title, Icon, Menu, Position, Minimized, Topmost, Size, Task };


class DialogObserver {
 public:
  virtual ~DialogObserver() = default;
  virtual void modelChanged(CDialog& dlg, ModelChange what, int controlId) = 0;
};

struct ControlState {
  int id = IDC_STATIC;
  ControlKind kind = ControlKind::Label;
  std::string text;
  int imageId = 0;
  bool enabled = true;
  bool visible = true;
  int checked = 0;
  int pos = 0;  // progress position
  int rangeLo = 0, rangeHi = 100;
  int limitText = 0;  // 0: no limit
  std::vector<std::pair<std::string, int>> items;  // list box: text and item data
  std::vector<int> selected;                       // list box: selected indexes
  // Table: each row's cells (the headings are the template's text, split at its tabs); the
  // column drawn as a bar with each row's percent (-1 none); the column the user sorted by
  // (-1 none) and its direction. Selected indexes are rows.
  std::vector<std::vector<std::string>> rows;
  int barColumn = -1;
  std::vector<int> bars;
  int sortColumn = -1;
  bool sortDescending = false;
  const ControlTemplate* tmpl = nullptr;
};

struct SysMenuItem {
  int command = 0;  // 0: separator
  std::string text;
  bool checked = false;
};

// Base of every window: posted messages, timers and message dispatch.
class CWnd {
 public:
  CWnd();
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // Queues a message for this window; it is handled from the event loop.
  void PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  // Handles a message at once.
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  bool SetTimer(UINT id, UINT elapseMs);
  void KillTimer(UINT id);

  virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

  // Fails timer starts on purpose (for tests of the no-timer path).
  static void SetTimersAvailable(bool available);
  static bool TimersAvailable();

 protected:
  // Message and command tables: return true when handled.
  virtual bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
  virtual bool OnCmdMsg(int id);
  virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

void postMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
// The window whose message is being handled now (nullptr between messages): what it says, a
// message box say, is its own when many windows share one terminal.
CWnd* ActingWindow();
// Makes window the acting one while it lives: for what runs outside the window's own
// messages (a timer, a deferred call, a request from another process) on its behalf.
class ActingAs {
 public:
  explicit ActingAs(CWnd* window);
  ~ActingAs();
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;

 private:
  CWnd* m_before;
};

// Table entries used by the window classes.
template <class T>
struct MessageEntry {
  UINT msg;
  LRESULT (T::*fn)(WPARAM, LPARAM);
};
template <class T>
struct CommandEntry {
  int id;
  void (T::*fn)();
};

template <class T, std::size_t N>
bool DispatchMessage(T* self, const MessageEntry<T> (&table)[N], UINT msg, WPARAM w, LPARAM l, LRESULT& r) {
  for (const auto& e : table)
    if (e.msg == msg) {
      r = (self->*e.fn)(w, l);
      return true;
    }
  return false;
}
template <class T, std::size_t N>
bool DispatchCommand(T* self, const CommandEntry<T> (&table)[N], int id) {
  for (const auto& e : table)
    if (e.id == id) {
      (self->*e.fn)();
      return true;
    }
  return false;
}

class CDataExchange;

// A control member bound to a control id of its dialog.
class CCtl {
 public:
  void Attach(CDialog* dlg, int id) { m_dlg = dlg, m_id = id; }
  int id() const { return m_id; }
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  void SetIcon(int iconId);
  int GetIcon() const;
  void EnableWindow(bool enable);
  bool IsWindowEnabled() const;
  void ShowWindow(bool show);
  bool IsWindowVisible() const;
  void SetPos(int pos);
  int GetPos() const;
  void SetRange(int lo, int hi);
  void SetCheck(int check);
  int GetCheck() const;
  void LimitText(int n);
  explicit operator bool() const { return m_dlg != nullptr; }

 private:
  CDialog* m_dlg = nullptr;
  int m_id = 0;
};

class CDialog : public CWnd {
 public:
  explicit CDialog(int templateId);
  ~CDialog() override;

  // Runs the dialog modally (a nested event loop) and returns its result.
  virtual int DoModal();
  // Runs the dialog without a loop of its own (many at once on one event loop): the view is
  // made and OnInitDialog called. Once it ends, its WM_DESTROY comes from the event loop, the
  // view is released, and then ended is called with the dialog (to be deleted from the event
  // loop, not inside the call).
  void Create(std::function<void(CDialog&)> ended);
  void EndDialog(int result);
  bool IsEnded() const { return m_ended; }
  bool IsRunning() const { return m_running; }
  int Result() const { return m_result; }

  virtual bool OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange& dx);
  // Moves data between fields and controls; false when validation failed.
  bool UpdateData(bool saveAndValidate = true);
  // Checks one control's value as OK would, showing the dialog's message when it is refused.
  virtual bool ValidateControl(int id);

  // The model.
  const DialogTemplate& Template() const { return *m_template; }
  int TemplateId() const { return m_template->id; }
  std::vector<ControlState>& Controls() { return m_controls; }
  ControlState* Control(int id);
  const ControlState* Control(int id) const;
  void SetControlText(int id, const std::string& text);
  std::string ControlText(int id) const;
  void ChangedControl(int id);  // a view or CCtl changed the control's state
  // Told after every change of a control's state (the user's typing included), as a field's
  // change notification: for values that take effect as they are typed.
  virtual void OnControlChanged(int /*id*/) {}

  void SetWindowText(const std::string& title);
  std::string GetWindowText() const { return m_title; }
  void SetIcon(int iconId) { m_iconId = iconId, notify(ModelChange::Icon); }
  int GetIcon() const { return m_iconId; }

  std::vector<SysMenuItem>& SystemMenu() { return m_sysMenu; }
  void AppendSystemMenu(int command, const std::string& text);  // command 0: separator
  void CheckSystemMenuItem(int command, bool checked);
  bool SystemMenuChecked(int command) const;

  // Window placement. Positions are screen pixels; -1 before any placement.
  void MoveWindow(int x, int y);
  int X() const { return m_x; }
  int Y() const { return m_y; }
  void SetClientSize(int w, int h) { m_w = w, m_h = h, notify(ModelChange::Size); }
  int Width() const { return m_w; }
  int Height() const { return m_h; }
  void Minimize(bool minimized);
  bool IsIconic() const { return m_minimized; }
  void SetTopmost(bool topmost) { m_topmost = topmost, notify(ModelChange::Topmost); }
  bool IsTopmost() const { return m_topmost; }

  // A view reports what the user or the window manager did.
  void ViewMoved(int x, int y);          // sends WM_MOVE
  void ViewSized(bool minimized);        // sends WM_SIZE
  void ViewResized(int w, int h);        // the user sized it: WM_SIZE with the client size
  void ViewCommand(int id);              // a button or menu item
  void ViewSysCommand(int command);      // sends WM_SYSCOMMAND

  void SetObserver(DialogObserver* obs) { m_observer = obs; }
  void SetDropTarget(COleDropTarget* target) { m_dropTarget = target; }
  COleDropTarget* DropTarget() const { return m_dropTarget; }
  // A session that came to rest (paused after a failure, or finished and left open).
  virtual bool IsAtRest() const { return false; }
  // A short tag naming what the window works on (a queue slot), for views that print lines.
  virtual std::string Tag() const { return std::string(); }
  // The state of the window's work (a download's phase, for views that say it in words or
  // announce it) and the file it makes ("" none).
  void SetTaskState(JobPhase state, const std::string& file = std::string()) {
    if (state == m_task && file == m_taskFile) return;
    m_task = state, m_taskFile = file, notify(ModelChange::Task);
  }
  JobPhase GetTaskState() const { return m_task; }
  const std::string& TaskFile() const { return m_taskFile; }

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnCmdMsg(int id) override;
  LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
  void notify(ModelChange what, int id = 0);

 private:
  const DialogTemplate* m_template;
  std::vector<ControlState> m_controls;
  std::vector<SysMenuItem> m_sysMenu;
  std::string m_title;
  int m_iconId = 0;
  int m_x = -1, m_y = -1, m_w = 0, m_h = 0;
  bool m_minimized = false, m_topmost = false;
  bool m_ended = false, m_running = false;
  int m_result = 0;
  JobPhase m_task = JobPhase::Idle;
  std::string m_taskFile;
  DialogObserver* m_observer = nullptr;
  COleDropTarget* m_dropTarget = nullptr;
  std::function<void()> m_quitLoop;
  std::unique_ptr<DialogView> m_modelessView;
  std::function<void(CDialog&)> m_onEnded;
  void destroyModeless();
};

// Data exchange between a dialog's fields and its controls, with the usual validation texts.
class CDataExchange {
 public:
  CDataExchange(CDialog* dlg, bool save) : m_dlg(dlg), m_bSaveAndValidate(save) {}
  CDialog* m_dlg;
  bool m_bSaveAndValidate;
  bool failed = false;
  int failedControl = 0;
  int lastControl = 0;
  void Fail(int controlId, const std::string& message);
};

void DDX_Control(CDataExchange& dx, int id, CCtl& ctl);
void DDX_Text(CDataExchange& dx, int id, std::string& value);
void DDX_Text(CDataExchange& dx, int id, int& value);
void DDX_Check(CDataExchange& dx, int id, int& value);
void DDV_MaxChars(CDataExchange& dx, const std::string& value, int maxChars);
void DDV_MinMaxInt(CDataExchange& dx, int value, int lo, int hi);
