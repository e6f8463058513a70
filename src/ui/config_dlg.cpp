#include "ui/config_dlg.h"

#include "platform/file.h"
#include "platform/services.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "settings/options.h"
#include "settings/proxy_setting.h"
#include "transfer/url.h"
#include "ui/about_dlg.h"

using namespace res;

CConfigDlg::CConfigDlg() : CDialog(IDD_CONFIG) {}

bool CConfigDlg::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const MessageEntry<CConfigDlg> kMessages[] = {{WM_SYSCOMMAND, &CConfigDlg::OnSysCommand}};
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool CConfigDlg::OnCmdMsg(int id) {
  static const CommandEntry<CConfigDlg> kCommands[] = {
      {IDC_FIND_HTTP_PROXY, &CConfigDlg::OnFindHttpProxy},
      {IDC_FIND_FTP_PROXY, &CConfigDlg::OnFindFtpProxy},
      {IDC_FIND_EMAIL, &CConfigDlg::OnFindEmail},
      {IDC_BROWSE_DOWNLOAD_DIR, &CConfigDlg::OnBrowseFolder},
      {IDC_CONFIG_HELP, &CConfigDlg::OnHelp},
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

void CConfigDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_EMAIL, m_emailEdit);
  DDX_Control(dx, IDC_FTP_PROXY, m_proxyFtpEdit);
  DDX_Control(dx, IDC_HTTP_PROXY, m_proxyEdit);
  DDX_Control(dx, IDC_DOWNLOAD_DIR, m_downloadDirEdit);
  DDX_Check(dx, IDC_ERROR_BEEP, m_errorBeep);
  DDX_Check(dx, IDC_EXIT_WHEN_DONE, m_exitWhenDone);
  DDX_Check(dx, IDC_DONE_BEEP, m_doneBeep);
  DDX_Text(dx, IDC_HTTP_PROXY, m_proxy);
  DDX_Text(dx, IDC_ROLLBACK, m_rollback);
  DDV_MinMaxInt(dx, m_rollback, 0, 100);
  DDX_Text(dx, IDC_FTP_PROXY, m_proxyFtp);
  DDX_Check(dx, IDC_RESUME_SERIAL, m_resumeSerial);
  DDX_Text(dx, IDC_EMAIL, m_email);
  DDX_Text(dx, IDC_CONNECTIONS, m_connections);
  DDV_MinMaxInt(dx, m_connections, 1, kMaxConnections);
  DDX_Text(dx, IDC_MAX_SPEED, m_maxSpeedK);
  DDV_MinMaxInt(dx, m_maxSpeedK, 0, 1000000);
  DDX_Text(dx, IDC_TOTAL_MAX_SPEED, m_totalMaxSpeedK);
  DDV_MinMaxInt(dx, m_totalMaxSpeedK, 0, 1000000);
  DDX_Text(dx, IDC_RETRIES, m_retries);
  DDV_MinMaxInt(dx, m_retries, 0, kMaxRetries);
  DDX_Text(dx, IDC_TIMEOUT, m_timeout);
  DDV_MinMaxInt(dx, m_timeout, 0, kMaxTimeout);
  DDX_Text(dx, IDC_MAX_ACTIVE, m_maxActive);
  DDV_MinMaxInt(dx, m_maxActive, 1, kMaxMaxActive);
  DDX_Check(dx, IDC_FTP_PASSIVE, m_ftpPassive);
  DDX_Text(dx, IDC_DOWNLOAD_DIR, m_downloadDir);
  DDX_Check(dx, IDC_BROWSER_ASK, m_browserAsk);
}

bool CConfigDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (!LoadString(IDS_ABOUTBOX).empty()) {
    AppendSystemMenu(0, "");
    AppendSystemMenu(IDM_ABOUTBOX, LoadString(IDS_ABOUTBOX));
  }
  SetIcon(IDI_SETTINGS);
  return true;
}

LRESULT CConfigDlg::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
    ShowAboutBox();
    return 0;
  }
  return DefWindowProc(WM_SYSCOMMAND, wParam, lParam);
}

// Text fields are taken trimmed; both proxies are checked as entered.
bool CConfigDlg::fieldUsable(int id) {
  CCtl* edit = id == IDC_HTTP_PROXY     ? &m_proxyEdit
               : id == IDC_FTP_PROXY    ? &m_proxyFtpEdit
               : id == IDC_EMAIL        ? &m_emailEdit
               : id == IDC_DOWNLOAD_DIR ? &m_downloadDirEdit
                                        : nullptr;
  if (!edit) return true;
  std::string text = trim(edit->GetWindowText());
  if (id == IDC_DOWNLOAD_DIR && !text.empty()) {
    // Stored whole: every later run, wherever it starts, means the same folder.
    if (std::string folder = FullFolderPath(text); !folder.empty())
      text = folder;
    else {
      AfxMessageBox(FormatString(LoadString(IDS_NO_SUCH_FOLDER), text));
      return false;
    }
  }
  if (text != edit->GetWindowText()) edit->SetWindowText(text);
  if (id == IDC_EMAIL || id == IDC_DOWNLOAD_DIR || text.empty()) return true;
  // An FTP proxy's conversation has no place for a login of the proxy's own.
  auto proxy = parseProxySetting(text, 0);
  if (proxy && (id == IDC_HTTP_PROXY || proxy->user.empty())) return true;
  AfxMessageBox(IDS_PROXY_FORMAT);
  return false;
}

void CConfigDlg::OnOK() {
  for (int id : {IDC_HTTP_PROXY, IDC_FTP_PROXY, IDC_EMAIL, IDC_DOWNLOAD_DIR})
    if (!fieldUsable(id)) return;
  CDialog::OnOK();
}

bool CConfigDlg::ValidateControl(int id) { return fieldUsable(id) && CDialog::ValidateControl(id); }

std::string CConfigDlg::findProxy(bool ftp) {
  BrowserSettings b = ReadBrowserSettings();
  const std::string& host = ftp ? b.ftpProxyHost : b.httpProxyHost;
  if (!host.empty()) return Format("%s:%i", host.c_str(), ftp ? b.ftpProxyPort : b.httpProxyPort);
  const std::string marker = ftp ? "ftp=" : "http=";
  auto at = b.systemProxyServer.find(marker);
  if (at == std::string::npos) return std::string();
  std::string rest = b.systemProxyServer.substr(at + marker.size());
  auto semi = rest.find(';', 1);
  return semi == std::string::npos ? rest : rest.substr(0, semi);
}

std::string CConfigDlg::findEmail() {
  BrowserSettings b = ReadBrowserSettings();
  return !b.userAddress.empty() ? b.userAddress : b.systemMailName;
}

void CConfigDlg::OnFindHttpProxy() {
  std::string found = findProxy(false);
  if (found.empty())
    AfxMessageBox(IDS_NO_BROWSER_PROXY);
  else
    m_proxyEdit.SetWindowText(found);
}

void CConfigDlg::OnFindFtpProxy() {
  std::string found = findProxy(true);
  if (found.empty())
    AfxMessageBox(IDS_NO_BROWSER_PROXY);
  else
    m_proxyFtpEdit.SetWindowText(found);
}

void CConfigDlg::OnFindEmail() {
  std::string found = findEmail();
  if (found.empty())
    AfxMessageBox(IDS_NO_BROWSER_EMAIL);
  else
    m_emailEdit.SetWindowText(found);
}

// From the folder the field names, else the desktop's download folder.
void CConfigDlg::OnBrowseFolder() {
  std::string chosen = ChooseFolder(trim(m_downloadDirEdit.GetWindowText()));
  if (!chosen.empty()) m_downloadDirEdit.SetWindowText(chosen);
}

void CConfigDlg::OnHelp() { WinHelp(7); }
