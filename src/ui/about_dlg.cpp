#include "ui/about_dlg.h"

#include "resources/ids.h"

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
  DDX_Text(dx, res::IDC_ABOUT_EMAIL, m_email);
  DDX_Text(dx, res::IDC_ABOUT_WEB, m_web);
  DDX_Text(dx, res::IDC_ABOUT_POST, m_post);
}

void ShowAboutBox() {
  CAboutDlg dlg;
  dlg.DoModal();
}
