#include "ui/drop_wnd.h"

#include "platform/app.h"
#include "platform/services.h"
#include "resources/ids.h"
#include "settings/options.h"
#include "ui/about_dlg.h"
#include "ui/enter_url_dlg.h"
#include "ui/overview_dlg.h"
#include "ui/resume_dlg.h"

using namespace res;

CDropWnd::CDropWnd() : CDialog(IDD_DROPWND) {}

void CDropWnd::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_DROP_TEXT, m_dropText);
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
  const std::pair<int, int> items[] = {
      {IDS_SMALL_WINDOW, IDM_SMALL_WINDOW}, {IDS_ALWAYS_ON_TOP, IDM_ALWAYS_ON_TOP},
      {IDS_RESUME_DOWNLOADS, IDM_RESUME_DOWNLOADS}, {IDS_OVERVIEW, IDM_OVERVIEW}, {IDS_ENTER_URL, IDM_ENTER_URL},
      {IDS_HELP, IDM_HELP}, {IDS_ABOUTBOX, IDM_ABOUTBOX}};
  // Separators come with their items: before Small Window and About, after Always On Top.
  for (const auto& [sid, cmd] : items) {
    if (LoadString(sid).empty()) continue;
    if (cmd == IDM_SMALL_WINDOW || cmd == IDM_ABOUTBOX) AppendSystemMenu(0, "");
    AppendSystemMenu(cmd, LoadString(sid));
    if (cmd == IDM_ALWAYS_ON_TOP) AppendSystemMenu(0, "");
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
    CheckSystemMenuItem(IDM_ALWAYS_ON_TOP, true);
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
  CheckSystemMenuItem(IDM_SMALL_WINDOW, m_smallSize != 0);
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
  CheckSystemMenuItem(IDM_ALWAYS_ON_TOP, m_onTop != 0);
  AfxGetApp()->WriteProfileInt(kSectionDropWindow, "OnTop", m_onTop);
}

LRESULT CDropWnd::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  switch (wParam) {
    case IDM_SMALL_WINDOW: toggleSize(); return 0;
    case IDM_ALWAYS_ON_TOP: toggleTop(); return 0;
    case IDM_ABOUTBOX: ShowAboutBox(); return 0;
    case IDM_HELP: WinHelp(2); return 0;
    case IDM_RESUME_DOWNLOADS: {
      CResumeDlg dlg;
      dlg.DoModal();
      return 0;
    }
    case IDM_OVERVIEW: {
      COverviewDlg dlg;
      dlg.DoModal();
      return 0;
    }
    case IDM_ENTER_URL: EnterUrlAndStart(); return 0;
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
