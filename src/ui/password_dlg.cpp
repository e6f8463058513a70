#include "ui/password_dlg.h"

#include "resources/ids.h"

CPasswordDlg::CPasswordDlg() : CDialog(res::IDD_PASSWORD) {}

void CPasswordDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, res::IDC_USER, m_user);
  DDV_MaxChars(dx, m_user, 40);
  DDX_Text(dx, res::IDC_PASSWORD, m_password);
  DDV_MaxChars(dx, m_password, 40);
  DDX_Text(dx, res::IDC_PASSWORD_PROMPT, m_prompt);
}
