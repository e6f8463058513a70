#include "ui/drop_wnd.h"

#include "settings/options.h"
#include "platform/app.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "ui/resume_dlg.h"
#include "ui/about_dlg.h"

CDropWnd::CDropWnd() : CDialog(res::IDD_DROPWND) {}

void CDropWnd::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1027, m_dropText);
}

bool CDropWnd::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const MessageEntry<CDropWnd> kMessages[] = {
      {WM_SYSCOMMAND, &CDropWnd::OnSysCommand},       {WM_QUERYDRAGICON, &CDropWnd::OnQueryDragIcon},
      {WM_MOVE, &CDropWnd::OnMove},                   {WM_SIZE, &CDropWnd::OnSize},
      {WM_LBUTTONDBLCLK, &CDropWnd::OnLButtonDblClk}, {WM_RBUTTONDBLCLK, &CDropWnd::OnRButtonDblClk},
  };
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool CDropWnd::OnInitDialog() {
  CDialog::OnInitDialog();
  const std::pair<int, int> items[] = {{134, 19}, {135, 20}, {138, 21}, {147, 22}, {124, 17}, {101, 16}};
  for (const auto& [sid, cmd] : items) {
    if (LoadString(sid).empty()) continue;
    if (cmd == 19 || cmd == 20 || cmd == 16) AppendSystemMenu(0, "");
    AppendSystemMenu(cmd, LoadString(sid));
  }
  m_fullWidth = Width();
  m_fullHeight = Height();
  SetIcon(m_hIcon);
  CWinApp* app = AfxGetApp();
  int x = static_cast<int>(app->GetProfileInt(kSectionDropWindow, "WindowX", -1));
  int y = static_cast<int>(app->GetProfileInt(kSectionDropWindow, "WindowY", -1));
  m_smallSize = static_cast<int>(app->GetProfileInt(kSectionDropWindow, "SmallSize", 0));
  m_onTop = static_cast<int>(app->GetProfileInt(kSectionDropWindow, "OnTop", 0));
  if (x != -1 || y != -1) MoveWindow(x, y);
  if (app->GetProfileInt(kSectionDropWindow, "Minimized", 0) != 0) Minimize(true);
  if (m_onTop == 1) {
    SetTopmost(true);
    CheckSystemMenuItem(20, true);
  }
  if (m_smallSize == 1) applySize();
  m_dropTarget.Register(this);
  m_initialized = 1;
  return true;
}

void CDropWnd::applySize() {
  if (m_smallSize) {
    SetClientSize(m_fullHeight + 5, m_fullHeight);
  } else {
    SetClientSize(m_fullWidth, m_fullHeight);
  }
  CheckSystemMenuItem(19, m_smallSize != 0);
  m_dropText.ShowWindow(m_smallSize == 0);
}

void CDropWnd::toggleSize() {
  m_smallSize = !m_smallSize;
  applySize();
  AfxGetApp()->WriteProfileInt(kSectionDropWindow, "SmallSize", m_smallSize);
}

void CDropWnd::toggleTop() {
  m_onTop = !m_onTop;
  SetTopmost(m_onTop != 0);
  CheckSystemMenuItem(20, m_onTop != 0);
  AfxGetApp()->WriteProfileInt(kSectionDropWindow, "OnTop", m_onTop);
}

LRESULT CDropWnd::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  switch (wParam) {
    case 19: toggleSize(); return 0;
    case 20: toggleTop(); return 0;
    case 16: ShowAboutBox(); return 0;
    case 17: WinHelp(2); return 0;
    case 21: {
      CResumeDlg dlg;
      dlg.DoModal();
      return 0;
    }
    case 22: EnterUrlAndStart(); return 0;
    default: return DefWindowProc(WM_SYSCOMMAND, wParam, lParam);
  }
}

LRESULT CDropWnd::OnMove(WPARAM, LPARAM lParam) {
  if (!IsIconic() && m_initialized == 1) {
    AfxGetApp()->WriteProfileInt(kSectionDropWindow, "WindowX", LOWORD_S(lParam));
    AfxGetApp()->WriteProfileInt(kSectionDropWindow, "WindowY", HIWORD_S(lParam));
  }
  return 0;
}

LRESULT CDropWnd::OnSize(WPARAM wParam, LPARAM) {
  if (wParam == SIZE_MINIMIZED)
    AfxGetApp()->WriteProfileInt(kSectionDropWindow, "Minimized", 1);
  else if (wParam == SIZE_RESTORED)
    AfxGetApp()->WriteProfileString(kSectionDropWindow, "Minimized", nullptr);
  return 0;
}

LRESULT CDropWnd::OnLButtonDblClk(WPARAM, LPARAM) {
  toggleSize();
  return 0;
}
LRESULT CDropWnd::OnRButtonDblClk(WPARAM, LPARAM) {
  toggleTop();
  return 0;
}
