#include "platform/wnd.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <cstdlib>
#include <map>

#include "platform/services.h"
#include "platform/ui.h"

namespace {
const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::User + 17);

struct MessageEvent : QEvent {
  MessageEvent(UINT m, WPARAM w, LPARAM l) : QEvent(kPostedMessage), msg(m), wParam(w), lParam(l) {}
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

bool g_timersAvailable = true;
CWnd* g_acting = nullptr;
// A modeless dialog that ended is taken down from the event loop, never inside its own handler.
constexpr UINT kModelessEnded = WM_USER + 0x3F0;
}  // namespace

// The window's receiver in Qt's event loop; deleting it drops the messages still queued for it.
struct CWnd::Impl : QObject {
  explicit Impl(CWnd* w) : wnd(w) {}
  bool event(QEvent* e) override {
    if (e->type() == kPostedMessage) {
      auto* m = static_cast<MessageEvent*>(e);
      wnd->WindowProc(m->msg, m->wParam, m->lParam);
      return true;
    }
    return QObject::event(e);
  }
  CWnd* wnd;
  std::map<UINT, std::unique_ptr<QTimer>> timers;
};

CWnd::CWnd() : m_impl(std::make_unique<Impl>(this)) {}
CWnd::~CWnd() {
  if (g_acting == this) g_acting = nullptr;
}

void CWnd::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  QCoreApplication::postEvent(m_impl.get(), new MessageEvent(msg, wParam, lParam));
}

void postMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (window) window->PostMessage(msg, wParam, lParam);
}

LRESULT CWnd::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam) { return WindowProc(msg, wParam, lParam); }

void CWnd::SetTimersAvailable(bool available) { g_timersAvailable = available; }
bool CWnd::TimersAvailable() { return g_timersAvailable; }

bool CWnd::SetTimer(UINT id, UINT elapseMs) {
  if (!g_timersAvailable) return false;
  auto& t = m_impl->timers[id];
  if (!t) {
    t = std::make_unique<QTimer>();
    QObject::connect(t.get(), &QTimer::timeout, m_impl.get(), [this, id] { WindowProc(WM_TIMER, id, 0); });
  }
  t->start(static_cast<int>(elapseMs));
  return true;
}

void CWnd::KillTimer(UINT id) {
  auto it = m_impl->timers.find(id);
  if (it != m_impl->timers.end()) it->second->stop();
}

CWnd* ActingWindow() { return g_acting; }

ActingAs::ActingAs(CWnd* window) : m_before(g_acting) { g_acting = window; }
ActingAs::~ActingAs() { g_acting = m_before; }

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  struct Acting {
    CWnd* before;
    explicit Acting(CWnd* w) : before(g_acting) { g_acting = w; }
    ~Acting() { g_acting = before; }
  } acting(this);
  if (msg == WM_COMMAND) {
    if (OnCmdMsg(static_cast<int>(wParam))) return 0;
    return DefWindowProc(msg, wParam, lParam);
  }
  LRESULT r = 0;
  if (OnWndMsg(msg, wParam, lParam, r)) return r;
  return DefWindowProc(msg, wParam, lParam);
}

bool CWnd::OnWndMsg(UINT, WPARAM, LPARAM, LRESULT&) { return false; }
bool CWnd::OnCmdMsg(int) { return false; }
LRESULT CWnd::DefWindowProc(UINT, WPARAM, LPARAM) { return 0; }

// ---- CCtl ----

void CCtl::SetWindowText(const std::string& text) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && c->text != text) {
    c->text = text;
    m_dlg->ChangedControl(m_id);
  }
}
std::string CCtl::GetWindowText() const { return m_dlg ? m_dlg->ControlText(m_id) : std::string(); }
void CCtl::SetIcon(int iconId) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && c->imageId != iconId) {
    c->imageId = iconId;
    m_dlg->ChangedControl(m_id);
  }
}
int CCtl::GetIcon() const {
  auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr;
  return c ? c->imageId : 0;
}
void CCtl::EnableWindow(bool enable) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && c->enabled != enable) {
    c->enabled = enable;
    m_dlg->ChangedControl(m_id);
  }
}
bool CCtl::IsWindowEnabled() const {
  auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr;
  return c && c->enabled;
}
void CCtl::ShowWindow(bool show) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && c->visible != show) {
    c->visible = show;
    m_dlg->ChangedControl(m_id);
  }
}
bool CCtl::IsWindowVisible() const {
  auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr;
  return c && c->visible;
}
void CCtl::SetPos(int pos) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && c->pos != pos) {
    c->pos = pos;
    m_dlg->ChangedControl(m_id);
  }
}
int CCtl::GetPos() const {
  auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr;
  return c ? c->pos : 0;
}
void CCtl::SetRange(int lo, int hi) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && (c->rangeLo != lo || c->rangeHi != hi)) {
    c->rangeLo = lo, c->rangeHi = hi;
    m_dlg->ChangedControl(m_id);
  }
}
void CCtl::SetCheck(int check) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr; c && c->checked != check) {
    c->checked = check;
    m_dlg->ChangedControl(m_id);
  }
}
int CCtl::GetCheck() const {
  auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr;
  return c ? c->checked : 0;
}
void CCtl::LimitText(int n) {
  if (auto* c = m_dlg ? m_dlg->Control(m_id) : nullptr) {
    c->limitText = n;
    m_dlg->ChangedControl(m_id);
  }
}

// ---- CDialog ----

CDialog::CDialog(int templateId) : m_template(FindDialogTemplate(templateId)) {
  if (!m_template) std::abort();  // a dialog without its template is a build error
  m_title = m_template->caption;
  for (const auto& t : m_template->controls) {
    ControlState c;
    c.id = t.id;
    c.kind = t.kind;
    c.text = t.text;
    c.imageId = t.imageId;
    c.tmpl = &t;
    m_controls.push_back(std::move(c));
  }
}

CDialog::~CDialog() = default;

ControlState* CDialog::Control(int id) {
  for (auto& c : m_controls)
    if (c.id == id && id != IDC_STATIC) return &c;
  return nullptr;
}
const ControlState* CDialog::Control(int id) const { return const_cast<CDialog*>(this)->Control(id); }

void CDialog::SetControlText(int id, const std::string& text) {
  if (auto* c = Control(id); c && c->text != text) {
    c->text = text;
    ChangedControl(id);
  }
}
std::string CDialog::ControlText(int id) const {
  auto* c = Control(id);
  return c ? c->text : std::string();
}
void CDialog::ChangedControl(int id) {
  notify(ModelChange::Control, id);
  OnControlChanged(id);
}

void CDialog::SetWindowText(const std::string& title) {
  if (m_title == title) return;
  m_title = title;
  notify(ModelChange::Title);
}

void CDialog::AppendSystemMenu(int command, const std::string& text) {
  m_sysMenu.push_back({command, text, false});
  notify(ModelChange::Menu);
}
void CDialog::CheckSystemMenuItem(int command, bool checked) {
  for (auto& m : m_sysMenu)
    if (m.command == command) m.checked = checked;
  notify(ModelChange::Menu);
}
bool CDialog::SystemMenuChecked(int command) const {
  for (const auto& m : m_sysMenu)
    if (m.command == command) return m.checked;
  return false;
}

void CDialog::MoveWindow(int x, int y) {
  m_x = x, m_y = y;
  notify(ModelChange::Position);
}
void CDialog::Minimize(bool minimized) {
  if (m_minimized == minimized) return;
  m_minimized = minimized;
  notify(ModelChange::Minimized);
  SendMessage(WM_SIZE, minimized ? SIZE_MINIMIZED : SIZE_RESTORED, 0);
}

void CDialog::ViewMoved(int x, int y) {
  m_x = x, m_y = y;
  SendMessage(WM_MOVE, 0, MAKELPARAM(x, y));
}
void CDialog::ViewSized(bool minimized) {
  if (m_minimized == minimized) return;
  m_minimized = minimized;
  SendMessage(WM_SIZE, minimized ? SIZE_MINIMIZED : SIZE_RESTORED, 0);
}
void CDialog::ViewResized(int w, int h) {
  if (w == m_w && h == m_h) return;
  m_w = w, m_h = h;
  SendMessage(WM_SIZE, SIZE_RESTORED, MAKELPARAM(w, h));
}
void CDialog::ViewCommand(int id) { SendMessage(WM_COMMAND, static_cast<WPARAM>(id), 0); }
void CDialog::ViewSysCommand(int command) { SendMessage(WM_SYSCOMMAND, static_cast<WPARAM>(command), 0); }

void CDialog::notify(ModelChange what, int id) {
  if (m_observer) m_observer->modelChanged(*this, what, id);
}

int CDialog::DoModal() {
  m_ended = false;
  m_result = 0;
  std::unique_ptr<DialogView> view = ui().createView(*this);
  QEventLoop loop;
  m_quitLoop = [&loop] { loop.exit(0); };
  m_running = true;
  OnInitDialog();
  if (!m_ended && view) view->started();
  if (!m_ended) loop.exec();
  m_running = false;
  m_quitLoop = nullptr;
  SendMessage(WM_DESTROY, 0, 0);
  view.reset();
  m_observer = nullptr;
  return m_result;
}

void CDialog::Create(std::function<void(CDialog&)> ended) {
  m_ended = false;
  m_result = 0;
  m_onEnded = std::move(ended);
  m_modelessView = ui().createView(*this);
  m_quitLoop = [this] { PostMessage(kModelessEnded); };
  m_running = true;
  OnInitDialog();
  if (!m_ended && m_modelessView) m_modelessView->started();
}

void CDialog::destroyModeless() {
  m_running = false;
  m_quitLoop = nullptr;
  SendMessage(WM_DESTROY, 0, 0);
  m_modelessView.reset();
  m_observer = nullptr;
  // The owner lets go of the dialog later, from the event loop: this runs in its own handler.
  if (auto ended = std::move(m_onEnded)) ended(*this);
}

void CDialog::EndDialog(int result) {
  if (m_ended) return;
  m_ended = true;
  m_result = result;
  if (m_quitLoop) m_quitLoop();
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}
void CDialog::OnCancel() { EndDialog(IDCANCEL); }
void CDialog::DoDataExchange(CDataExchange&) {}

bool CDialog::UpdateData(bool saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(dx);
  return !dx.failed;
}

bool CDialog::ValidateControl(int id) {
  CDataExchange dx(this, true);
  DoDataExchange(dx);
  return !dx.failed || dx.failedControl != id;
}

bool CDialog::OnWndMsg(UINT, WPARAM, LPARAM, LRESULT&) { return false; }


bool CDialog::OnCmdMsg(int id) {
  if (id == IDOK) {
    OnOK();
    return true;
  }
  if (id == IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

LRESULT CDialog::DefWindowProc(UINT msg, WPARAM wParam, LPARAM) {
  if (msg == kModelessEnded) destroyModeless();
  if (msg == WM_SYSCOMMAND) {
    // The close item of the window menu is Cancel, as the Escape key is.
    constexpr WPARAM SC_CLOSE = 0xF060, SC_MINIMIZE = 0xF020, SC_RESTORE = 0xF120;
    if ((wParam & 0xFFF0) == SC_CLOSE) OnCmdMsg(IDCANCEL);
    if ((wParam & 0xFFF0) == SC_MINIMIZE) Minimize(true);
    if ((wParam & 0xFFF0) == SC_RESTORE) Minimize(false);
  }
  return 0;
}

// ---- data exchange ----

void CDataExchange::Fail(int controlId, const std::string& message) {
  if (failed) return;
  failed = true;
  failedControl = controlId;
  AfxMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
}

void DDX_Control(CDataExchange& dx, int id, CCtl& ctl) {
  if (!ctl) ctl.Attach(dx.m_dlg, id);
}

void DDX_Text(CDataExchange& dx, int id, std::string& value) {
  if (dx.failed) return;
  dx.lastControl = id;
  if (dx.m_bSaveAndValidate)
    value = dx.m_dlg->ControlText(id);
  else
    dx.m_dlg->SetControlText(id, value);
}

void DDX_Text(CDataExchange& dx, int id, int& value) {
  if (dx.failed) return;
  dx.lastControl = id;
  if (!dx.m_bSaveAndValidate) {
    dx.m_dlg->SetControlText(id, std::to_string(value));
    return;
  }
  std::string t = dx.m_dlg->ControlText(id);
  std::size_t i = 0;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  std::size_t start = i;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
  std::size_t digits = i;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
  std::size_t end = i;
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
  if (end == digits || i != t.size() || end - digits > 9) {
    dx.Fail(id, "Please enter an integer.");
    return;
  }
  value = std::stoi(t.substr(start, end - start));
}

void DDX_Check(CDataExchange& dx, int id, int& value) {
  if (dx.failed) return;
  auto* c = dx.m_dlg->Control(id);
  if (!c) return;
  if (dx.m_bSaveAndValidate)
    value = c->checked;
  else if (c->checked != value) {
    c->checked = value;
    dx.m_dlg->ChangedControl(id);
  }
}

void DDV_MaxChars(CDataExchange& dx, const std::string& value, int maxChars) {
  if (dx.failed) return;
  if (!dx.m_bSaveAndValidate) {
    if (auto* c = dx.m_dlg->Control(dx.lastControl)) {
      c->limitText = maxChars;
      dx.m_dlg->ChangedControl(dx.lastControl);
    }
    return;
  }
  // Characters, not bytes: a UTF-8 sequence counts once.
  int chars = 0;
  for (unsigned char c : value) chars += (c & 0xC0) != 0x80;
  if (chars > maxChars)
    dx.Fail(dx.lastControl, "Please enter no more than " + std::to_string(maxChars) + " characters.");
}

void DDV_MinMaxInt(CDataExchange& dx, int value, int lo, int hi) {
  if (dx.failed || !dx.m_bSaveAndValidate) return;
  if (value < lo || value > hi)
    dx.Fail(dx.lastControl, "Please enter an integer between " + std::to_string(lo) + " and " + std::to_string(hi) + ".");
}

