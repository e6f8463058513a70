#include "ui/enter_url_dlg.h"

#include "platform/services.h"
#include "resources/ids.h"

CEnterUrlDlg::CEnterUrlDlg() : CDialog(res::IDD_ENTERURL) {}

void CEnterUrlDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, res::IDC_ENTERED_URL, m_enteredUrl);
}

void CEnterUrlDlg::OnOK() { CDialog::OnOK(); }

void EnterUrlAndStart() {
  CEnterUrlDlg dlg;
  if (dlg.DoModal() == IDOK && !dlg.m_enteredUrl.empty()) WinExec("TARNWICK.EXE " + dlg.m_enteredUrl);
}
