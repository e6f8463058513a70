#include "ui/resume_dlg.h"

#include <algorithm>

#include "platform/app.h"
#include "platform/services.h"
#include "queue/queue_store.h"
#include "resources/ids.h"
#include "settings/options.h"
#include "transfer/url.h"
#include "ui/about_dlg.h"

using namespace res;

namespace {
// Added to the line of an entry that another process is downloading.
const std::string kRunningMark = " (running)";
}  // namespace

CResumeDlg::CResumeDlg() : CDialog(IDD_RESUME) {}

void CResumeDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_QUEUE_LIST, m_list);
}

bool CResumeDlg::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const MessageEntry<CResumeDlg> kMessages[] = {{WM_SYSCOMMAND, &CResumeDlg::OnSysCommand}};
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool CResumeDlg::OnCmdMsg(int id) {
  static const CommandEntry<CResumeDlg> kCommands[] = {
      {IDC_RESUME, &CResumeDlg::OnResume},         {IDC_RESUME_ALL, &CResumeDlg::OnResumeAll},
      {IDC_DELETE, &CResumeDlg::OnDelete},         {IDC_DELETE_ALL, &CResumeDlg::OnDeleteAll},
      {IDC_RESUME_HELP, &CResumeDlg::OnHelp},
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

bool CResumeDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (!LoadString(IDS_ABOUTBOX).empty()) {
    AppendSystemMenu(0, "");
    AppendSystemMenu(IDM_ABOUTBOX, LoadString(IDS_ABOUTBOX));
  }
  auto* list = Control(IDC_QUEUE_LIST);
  for (const QueueEntry& e : QueueEntry::loadAll()) {
    // A password in the address is not shown.
    std::string url = displayUrl(e.url);
    int slot = std::stoi(e.slot);
    if (leaseHeldByOther(e.slot)) url += kRunningMark;
    // A sorted list box: items in text order.
    auto pos = std::upper_bound(list->items.begin(), list->items.end(), url,
                                [](const std::string& u, const auto& item) { return u < item.first; });
    list->items.insert(pos, {url, slot});
  }
  ChangedControl(IDC_QUEUE_LIST);
  SetIcon(IDR_MAINFRAME);
  return true;
}

LRESULT CResumeDlg::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
    ShowAboutBox();
    return 0;
  }
  return DefWindowProc(WM_SYSCOMMAND, wParam, lParam);
}

void CResumeDlg::OnResume() {
  auto* list = Control(IDC_QUEUE_LIST);
  for (auto it = list->selected.rbegin(); it != list->selected.rend(); ++it)
    WinExec("TARNWICK.EXE #" + slotText(list->items[static_cast<std::size_t>(*it)].second));
}

void CResumeDlg::OnResumeAll() {
  for (const auto& item : Control(IDC_QUEUE_LIST)->items) WinExec("TARNWICK.EXE #" + slotText(item.second));
}

// From the last item to the first, so that removing one moves none still to come. An entry
// that another process is downloading stays (that process would go on writing stray values,
// and its partial file would be left with no entry): it is marked and named.
void CResumeDlg::removeItems(std::vector<int> indexes) {
  auto* list = Control(IDC_QUEUE_LIST);
  std::sort(indexes.begin(), indexes.end());
  indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
  std::vector<std::string> running;
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
    auto& item = list->items[static_cast<std::size_t>(*it)];
    std::string slot = slotText(item.second);
    if (removeEntryUnlessRunning(slot)) {
      list->items.erase(list->items.begin() + *it);
      continue;
    }
    if (!item.first.ends_with(kRunningMark)) item.first += kRunningMark;
    QueueEntry e = QueueEntry::load(slot);
    running.insert(running.begin(), e.localPath.empty() ? displayUrl(e.url) : e.localPath);
  }
  list->selected.clear();
  ChangedControl(IDC_QUEUE_LIST);
  for (const auto& file : running)
    AfxMessageBox(file + " is being downloaded by another Tarnwick window; it cannot be removed now.",
                  MB_ICONEXCLAMATION);
}

void CResumeDlg::OnDelete() { removeItems(Control(IDC_QUEUE_LIST)->selected); }

void CResumeDlg::OnDeleteAll() {
  std::vector<int> all(Control(IDC_QUEUE_LIST)->items.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
  removeItems(all);
}

void CResumeDlg::OnHelp() { WinHelp(14); }
