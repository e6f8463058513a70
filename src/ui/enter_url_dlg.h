#pragma once
#include <string>

#include "platform/wnd.h"

class CEnterUrlDlg : public CDialog {
 public:
  CEnterUrlDlg();
  std::string m_enteredUrl;
  void DoDataExchange(CDataExchange& dx) override;
  void OnOK() override;
};

// Enter URL as the drop window uses it: a non-empty URL starts a download process.
void EnterUrlAndStart();
