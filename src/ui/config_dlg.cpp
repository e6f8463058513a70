#include "ui/config_dlg.h"

#include "platform/resources.h"
#include "platform/services.h"
#include "transfer/url.h"
#include "ui/about_dlg.h"

CConfigDlg::CConfigDlg() : CDialog(res::IDD_CONFIG) {}

bool CConfigDlg::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static const MessageEntry<CConfigDlg> kMessages[] = {{WM_SYSCOMMAND, &CConfigDlg::OnSysCommand}};
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool CConfigDlg::OnCmdMsg(int id) {
  static const CommandEntry<CConfigDlg> kCommands[] = {
      {1028, &CConfigDlg::OnFindHttpProxy},
      {1029, &CConfigDlg::OnFindFtpProxy},
      {1031, &CConfigDlg::OnFindEmail},
      {1022, &CConfigDlg::OnHelp},
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

void CConfigDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, 1034, m_emailEdit);
  DDX_Control(dx, 1015, m_proxyFtpEdit);
  DDX_Control(dx, 1013, m_proxyEdit);
  DDX_Check(dx, 1007, m_errorBeep);
  DDX_Check(dx, 1009, m_exitWhenDone);
  DDX_Check(dx, 1008, m_doneBeep);
  DDX_Text(dx, 1013, m_proxy);
  DDX_Text(dx, 1010, m_rollback);
  DDV_MinMaxInt(dx, m_rollback, 0, 100);
  DDX_Text(dx, 1015, m_proxyFtp);
  DDX_Check(dx, 1011, m_resumeSerial);
  DDX_Text(dx, 1034, m_email);
}

bool CConfigDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (!LoadString(101).empty()) {
    AppendSystemMenu(0, "");
    AppendSystemMenu(16, LoadString(101));
  }
  SetIcon(155);
  return true;
}

LRESULT CConfigDlg::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  if ((wParam & 0xFFF0) == 16) {
    ShowAboutBox();
    return 0;
  }
  return DefWindowProc(WM_SYSCOMMAND, wParam, lParam);
}

bool CConfigDlg::proxyTextUsable() {
  std::string text = m_proxyEdit.GetWindowText();
  if (text.empty()) return true;
  int service;
  std::string server, object;
  std::uint16_t port;
  return parseUrl(text, service, server, object, port) || parseUrl("http://" + text, service, server, object, port);
}

void CConfigDlg::OnOK() {
  if (!proxyTextUsable()) {
    AfxMessageBox(112);
    return;
  }
  CDialog::OnOK();
}

bool CConfigDlg::ValidateControl(int id) {
  if (id == 1013 && !proxyTextUsable()) {
    AfxMessageBox(112);
    return false;
  }
  return CDialog::ValidateControl(id);
}

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
    AfxMessageBox(137);
  else
    m_proxyEdit.SetWindowText(found);
}

void CConfigDlg::OnFindFtpProxy() {
  std::string found = findProxy(true);
  if (found.empty())
    AfxMessageBox(137);
  else
    m_proxyFtpEdit.SetWindowText(found);
}

void CConfigDlg::OnFindEmail() {
  std::string found = findEmail();
  if (found.empty())
    AfxMessageBox(146);
  else
    m_emailEdit.SetWindowText(found);
}

void CConfigDlg::OnHelp() { WinHelp(7); }
