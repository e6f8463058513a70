#include "ui/resume_dlg.h"

#include <algorithm>

#include "settings/options.h"
#include "platform/app.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "queue/queue_store.h"
#include "ui/about_dlg.h"

CResumeDlg::CResumeDlg() : CDialog(res::IDD_RESUME) {}

void CResumeDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1011, m_list);
}

bool CResumeDlg::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const MessageEntry<CResumeDlg> kMessages[] = {{WM_SYSCOMMAND, &CResumeDlg::OnSysCommand}};
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool CResumeDlg::OnCmdMsg(int id) {
  static const CommandEntry<CResumeDlg> kCommands[] = {
      {1014, &CResumeDlg::OnResume}, {1015, &CResumeDlg::OnResumeAll}, {1012, &CResumeDlg::OnDelete},
      {1013, &CResumeDlg::OnDeleteAll}, {3, &CResumeDlg::OnHelp},
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

bool CResumeDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (!LoadString(101).empty()) {
    AppendSystemMenu(0, "");
    AppendSystemMenu(16, LoadString(101));
  }
  auto* list = Control(1011);
  CWinApp* app = AfxGetApp();
  for (int slot = 0; slot < 100; ++slot) {
    std::string url = app->GetProfileString(kSectionFileQueue, "Get" + slotText(slot), "");
    if (url.empty()) continue;
    // A sorted list box: items in text order.
    auto pos = std::upper_bound(list->items.begin(), list->items.end(), url,
                                [](const std::string& u, const auto& item) { return u < item.first; });
    list->items.insert(pos, {url, slot});
  }
  ChangedControl(1011);
  SetIcon(128);
  return true;
}

LRESULT CResumeDlg::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  if ((wParam & 0xFFF0) == 16) {
    ShowAboutBox();
    return 0;
  }
  return DefWindowProc(WM_SYSCOMMAND, wParam, lParam);
}

void CResumeDlg::OnResume() {
  auto* list = Control(1011);
  for (auto it = list->selected.rbegin(); it != list->selected.rend(); ++it)
    WinExec("TARNWICK.EXE #" + slotText(list->items[static_cast<std::size_t>(*it)].second));
}

void CResumeDlg::OnResumeAll() {
  for (const auto& item : Control(1011)->items) WinExec("TARNWICK.EXE #" + slotText(item.second));
}

void CResumeDlg::removeEntry(int slot) {
  // Minimized stays: the list never removed it.
  static const char* kValues[] = {"Get", "Local", "Start", "WindowX", "WindowY", "LastMod", "StupidServer", "FTPMarker"};
  for (const char* v : kValues)
    AfxGetApp()->WriteProfileString(kSectionFileQueue, v + slotText(slot), nullptr);
}

void CResumeDlg::OnDelete() {
  auto* list = Control(1011);
  std::vector<int> sel = list->selected;
  std::sort(sel.begin(), sel.end());
  for (auto it = sel.rbegin(); it != sel.rend(); ++it) {
    removeEntry(list->items[static_cast<std::size_t>(*it)].second);
    list->items.erase(list->items.begin() + *it);
  }
  list->selected.clear();
  ChangedControl(1011);
}

void CResumeDlg::OnDeleteAll() {
  auto* list = Control(1011);
  for (const auto& item : list->items) removeEntry(item.second);
  list->items.clear();
  list->selected.clear();
  ChangedControl(1011);
}

void CResumeDlg::OnHelp() { WinHelp(14); }
