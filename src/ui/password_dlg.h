#pragma once
#include <string>

#include "platform/wnd.h"

// Asks for a user name and password; each at most 40 characters.
class CPasswordDlg : public CDialog {
 public:
  CPasswordDlg();
  std::string m_user;
  std::string m_password;
  std::string m_prompt;
  void DoDataExchange(CDataExchange& dx) override;
};
