#pragma once
#include <string>

#include "platform/wnd.h"

// Shows the header log of the current connection; Copy All puts it on the clipboard.
class CHeadersDlg : public CDialog {
 public:
  CHeadersDlg();
  std::string m_text;
  void DoDataExchange(CDataExchange& dx) override;

 protected:
  bool OnCmdMsg(int id) override;

 private:
  void OnCopyAll();
};
