#include "ui/password_dlg.h"

#include "platform/resources.h"

CPasswordDlg::CPasswordDlg() : CDialog(res::IDD_PASSWORD) {}

void CPasswordDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, 1014, m_user);
  DDV_MaxChars(dx, m_user, 40);
  DDX_Text(dx, 1015, m_password);
  DDV_MaxChars(dx, m_password, 40);
  DDX_Text(dx, 1016, m_prompt);
}
