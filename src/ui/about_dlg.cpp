#include "ui/about_dlg.h"

#include "platform/resources.h"
#include "platform/services.h"

CAboutDlg::CAboutDlg() : CDialog(res::IDD_ABOUTBOX) {}

bool CAboutDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_email = "tarnwick@quillfern.example";
  m_web = "https://quillfern.example/tarnwick";
  m_post = "Quillfern Software\r\nTarnwick team\r\n1 Example Lane";
  UpdateData(false);
  return true;
}

void CAboutDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, 1006, m_email);
  DDX_Text(dx, 1007, m_web);
  DDX_Text(dx, 1008, m_post);
}

void ShowAboutBox() {
  CAboutDlg dlg;
  dlg.DoModal();
}

CEnterUrlDlg::CEnterUrlDlg() : CDialog(res::IDD_ENTERURL) {}

void CEnterUrlDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, 1035, m_enteredUrl);
}

void CEnterUrlDlg::OnOK() { CDialog::OnOK(); }

void EnterUrlAndStart() {
  CEnterUrlDlg dlg;
  if (dlg.DoModal() == IDOK && !dlg.m_enteredUrl.empty()) WinExec("TARNWICK.EXE " + dlg.m_enteredUrl);
}

CHeadersDlg::CHeadersDlg() : CDialog(res::IDD_HEADERS) {}

void CHeadersDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, 1026, m_text);
}

bool CHeadersDlg::OnCmdMsg(int id) {
  static const CommandEntry<CHeadersDlg> kCommands[] = {{ID_EDIT_COPY, &CHeadersDlg::OnCopyAll}};
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

void CHeadersDlg::OnCopyAll() {
  if (!SetClipboardText(m_text)) AfxMessageBox(140);
}
