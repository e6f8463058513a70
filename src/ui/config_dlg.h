#pragma once
#include <string>

#include "platform/wnd.h"

class CConfigDlg : public CDialog {
 public:
  CConfigDlg();

  int m_errorBeep = 0;
  int m_exitWhenDone = 0;
  int m_doneBeep = 0;
  std::string m_proxy;
  int m_rollback = 0;
  std::string m_proxyFtp;
  int m_resumeSerial = 0;
  std::string m_email;
  int m_connections = 4;
  int m_maxSpeedK = 0;
  int m_totalMaxSpeedK = 0;
  int m_maxActive = 3;  // downloads of the user at once
  int m_retries = 5;
  int m_timeout = 60;
  int m_ftpPassive = 1;
  std::string m_downloadDir;  // "" the current folder
  int m_browserAsk = 0;

  CCtl m_emailEdit;
  CCtl m_proxyFtpEdit;
  CCtl m_proxyEdit;
  CCtl m_downloadDirEdit;

  bool OnInitDialog() override;
  void OnOK() override;
  void DoDataExchange(CDataExchange& dx) override;
  bool ValidateControl(int id) override;

  // The Find buttons' searches: empty when the browsers name nothing.
  static std::string findProxy(bool ftp);
  static std::string findEmail();

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnCmdMsg(int id) override;

 private:
  // Trims text field id; a proxy that is not host[:port], or a download folder that is no
  // folder, is refused with the dialog's message.
  bool fieldUsable(int id);
  LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
  void OnFindHttpProxy();
  void OnFindFtpProxy();
  void OnFindEmail();
  void OnBrowseFolder();
  void OnHelp();
};
