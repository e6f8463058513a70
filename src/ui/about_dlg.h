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

// Runs the About box (every window's system menu offers it as IDM_ABOUTBOX).
void ShowAboutBox();
