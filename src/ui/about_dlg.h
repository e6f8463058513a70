#pragma once
#include <string>

#include "platform/wnd.h"

class CAboutDlg : public CDialog {
 public:
  CAboutDlg();
  std::string m_email;
  std::string m_web;
  std::string m_post;
  bool OnInitDialog() override;
  void DoDataExchange(CDataExchange& dx) override;
};

// Runs the About box (every window's system menu offers it as command 16).
void ShowAboutBox();

class CEnterUrlDlg : public CDialog {
 public:
  CEnterUrlDlg();
  std::string m_enteredUrl;
  void DoDataExchange(CDataExchange& dx) override;
  void OnOK() override;
};

// Enter URL as the drop window uses it: a non-empty URL starts a download process.
void EnterUrlAndStart();

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
